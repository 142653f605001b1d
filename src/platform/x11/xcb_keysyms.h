#pragma once
// Owner of XCB's key symbol table (keycode <-> keysym lookups).
#include <xcb/xcb_keysyms.h>

#include <memory>

namespace moxi::xcb {

struct KeySymbolsDeleter {
  void operator()(xcb_key_symbols_t* symbols) const { xcb_key_symbols_free(symbols); }
};
using KeySymbols = std::unique_ptr<xcb_key_symbols_t, KeySymbolsDeleter>;

}  // namespace moxi::xcb
