#pragma once
// The microphone as the recorder sees it: an access check and a capture
// session that is configured and run once per recording. The real
// implementation talks to the PulseAudio sound server; tests use fakes.
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "capture/microphone/audio_buffer.h"

namespace moxi {

class SerialQueue;

// Values match the platform's integer authorisation statuses.
//
// There is no permission system for microphones on this desktop, so the
// statuses describe the sound server:
//   authorized     the server accepts our connection. Whether it offers a
//                  microphone is the session's business (configure() reports a
//                  missing default source at each recording), because a device
//                  can come and go without any permission changing, and an
//                  alert pointing at privacy settings could not help.
//   denied         the server refuses us (access or authentication error).
//   restricted     no sound server can be reached.
//   notDetermined  the server did not answer within the quick check;
//                  requestAccess() asks again with more patience.
enum class MicrophoneAuthorization : int { notDetermined = 0, restricted = 1, denied = 2, authorized = 3 };

class MicrophoneAccess {
 public:
  virtual ~MicrophoneAccess() = default;
  // Quick enough for the UI thread: a local connect (about 1 ms here), given
  // up after 150 ms (then notDetermined).
  virtual MicrophoneAuthorization authorizationStatus() = 0;
  // Asks again; `completion` gets whether access is authorised, on a thread of
  // the access object (never the caller's). Destroying the access object waits
  // for requests in flight.
  virtual void requestAccess(std::function<void(bool granted)> completion) = 0;
};

// What configure() found, so the caller can report each refusal.
struct MicrophoneConfiguration {
  // The sound server answered but has no microphone: no default source, or
  // only a monitor of an output (recording that would capture the desktop's
  // sound, not the user's voice).
  bool noDevice = false;
  // Non-empty when the device input could not be created, e.g. the sound
  // server cannot be reached: the reason, for the log line.
  std::string inputError;
  // The session holds an input for the default microphone (possibly the one a
  // previous recording added).
  bool inputAdded = false;
  // The session holds its sample output.
  bool outputAdded = false;
};

// The log lines that report a configuration's refusals, in set-up order
// (none when everything was set up).
std::vector<std::string> microphoneSetupMessages(const MicrophoneConfiguration& configuration);

// A microphone capture session, reused by every recording.
//
// Threads: every operation may be called from any thread; they serialise on
// an internal lock. configure() and startRunning() wait for the sound server
// (a few milliseconds; each wait gives up after one second, so a hung server
// costs configure() at most a few seconds). stopRunning() never waits for the
// server, but does wait for a configure() or startRunning() under way on
// another thread. The session's own thread (PulseAudio's main loop) only
// posts blocks to the delegate's queue; it never runs the handler.
class MicrophoneSession {
 public:
  virtual ~MicrophoneSession() = default;

  // Removes the sample output (a running capture stops delivering), takes the
  // default microphone, keeps or replaces the input, and adds the output back.
  virtual MicrophoneConfiguration configure() = 0;

  // Sound arrives as mono signed 16-bit blocks at 44100 Hz of 1024 samples
  // (about 23 ms; a block is shorter only just before a discontinuity or the
  // loss of the microphone), one at a time on `queue`. Each is stamped with
  // the monotonic time its first sample was captured, from the server's
  // latency reports. Blocks follow each other without gaps or overlaps except
  // after a discontinuity (the server dropped sound) or a rare correction of
  // about 20 ms (a poor first timing report, or the sound card's clock
  // drifting from the monotonic clock). A source that buffers (PulseAudio's
  // sine generator holds 2 s) delivers sound
  // captured before startRunning(): consumers trim what precedes their own
  // start. `queue` must outlive the session. Takes effect for the next block.
  virtual void setSampleBufferDelegate(std::function<void(AudioBuffer)> handler, SerialQueue& queue) = 0;

  // Starts delivering sound (when an input and the output are present).
  virtual void startRunning() = 0;
  // Stops delivering. Once it returns, the handler is not called again for
  // this run (a call already under way on the queue may finish). Harmless
  // when not running.
  virtual void stopRunning() = 0;
  // Whether the session runs. Turns false by itself when the sound server or
  // the microphone goes away mid-recording: one log line says so, the
  // partial block is delivered, and the session looks for the server and a
  // microphone again until stopRunning(); once back (another log line), sound
  // flows again, stamped on the same clock, so the gap is a gap in time.
  virtual bool isRunning() const = 0;

  // Called (on a thread of the session's) when sound stops coming by itself
  // (`lost`, with the reason) and when it comes back (with the microphone).
  // Takes effect for the next change.
  virtual void setInterruptionHandler(std::function<void(bool lost, const std::string& what)>) {}
};

}  // namespace moxi
