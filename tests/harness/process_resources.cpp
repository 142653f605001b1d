#include "harness/process_resources.h"

#include <xcb/res.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>

#include "platform/x11/xcb.h"

namespace moxi::test {

namespace fs = std::filesystem;

namespace {

int entries(const std::string& dir) {
  std::error_code ec;
  int n = 0;
  for (fs::directory_iterator it(dir, ec), end; !ec && it != end; it.increment(ec)) ++n;
  if (ec) throw std::runtime_error("cannot read " + dir + ": " + ec.message());
  return n;
}

long statusField(pid_t pid, const std::string& key) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/status");
  for (std::string line; std::getline(in, line);)
    if (line.rfind(key + ":", 0) == 0) return std::atol(line.c_str() + key.size() + 1);
  throw std::runtime_error("no " + key + " for process " + std::to_string(pid));
}

// /proc/sysvipc/shm: key shmid perms size cpid lpid nattch ...
int shmSegmentsOf(pid_t pid) {
  std::ifstream in("/proc/sysvipc/shm");
  if (!in) throw std::runtime_error("cannot read /proc/sysvipc/shm");
  std::string line;
  std::getline(in, line);  // the header
  int n = 0;
  while (std::getline(in, line)) {
    std::istringstream fields(line);
    long key, id, perms, size, cpid;
    if (fields >> key >> id >> perms >> size >> cpid && cpid == pid) ++n;
  }
  return n;
}

void addXResources(pid_t pid, ProcessResources& out) {
  xcb::Connection x;
  if (!x.ok()) throw std::runtime_error("cannot open the display");
  auto version = xcb::reply(x.get(), xcb_res_query_version(x.get(), 1, 2), xcb_res_query_version_reply);
  if (!version || (version->server_major == 1 && version->server_minor < 2))
    throw std::runtime_error("the display has no X-Resource 1.2");
  xcb_res_client_id_spec_t all{0, XCB_RES_CLIENT_ID_MASK_LOCAL_CLIENT_PID};
  auto ids = xcb::reply(x.get(), xcb_res_query_client_ids(x.get(), 1, &all), xcb_res_query_client_ids_reply);
  if (!ids) throw std::runtime_error("QueryClientIds failed");
  for (auto it = xcb_res_query_client_ids_ids_iterator(ids.get()); it.rem; xcb_res_client_id_value_next(&it)) {
    if (xcb_res_client_id_value_value_length(it.data) != 1 ||
        static_cast<pid_t>(*xcb_res_client_id_value_value(it.data)) != pid)
      continue;
    const uint32_t client = it.data->spec.client;
    ++out.xClients;
    auto res = xcb::reply(x.get(), xcb_res_query_client_resources(x.get(), client),
                          xcb_res_query_client_resources_reply);
    if (!res) throw std::runtime_error("QueryClientResources failed");
    for (auto t = xcb_res_query_client_resources_types_iterator(res.get()); t.rem; xcb_res_type_next(&t)) {
      auto name = xcb::reply(x.get(), xcb_get_atom_name(x.get(), t.data->resource_type), xcb_get_atom_name_reply);
      if (name)
        out.xObjects[std::string(xcb_get_atom_name_name(name.get()), xcb_get_atom_name_name_length(name.get()))] +=
            static_cast<int>(t.data->count);
    }
  }
}

}  // namespace

bool ProcessResources::sameHandles(const ProcessResources& o) const {
  // Not every type: some count other clients' windows (CompositeClientWindow).
  for (const char* type : {"PIXMAP", "PICTURE", "WINDOW", "GC", "ShmSeg", "DamageExt"})
    if (x(type) != o.x(type)) return false;
  return descriptors == o.descriptors && threads == o.threads && xClients == o.xClients &&
         shmSegments == o.shmSegments;
}

std::string ProcessResources::describe() const {
  std::ostringstream s;
  s << "rss " << residentKiB << " KiB (anon " << anonKiB << ", file " << fileKiB << ", shmem " << shmemKiB
    << "), fds " << descriptors << ", threads " << threads << ", X: " << xClients
    << " clients";
  for (const auto& [type, count] : xObjects) s << ", " << type << " " << count;
  s << ", shm " << shmSegments;
  return s.str();
}

ProcessResources processResources(pid_t pid) {
  const std::string proc = "/proc/" + std::to_string(pid);
  ProcessResources r;
  r.residentKiB = statusField(pid, "VmRSS");
  r.peakResidentKiB = statusField(pid, "VmHWM");
  r.anonKiB = statusField(pid, "RssAnon");
  r.fileKiB = statusField(pid, "RssFile");
  r.shmemKiB = statusField(pid, "RssShmem");
  r.descriptors = entries(proc + "/fd");
  r.threads = entries(proc + "/task");
  r.shmSegments = shmSegmentsOf(pid);
  addXResources(pid, r);
  return r;
}

}  // namespace moxi::test
