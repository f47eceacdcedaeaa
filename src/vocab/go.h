// A caller's look for an interrupt between pieces of work it hands out, run
// on its own thread: false stops the work.
#pragma once

#include <functional>

using go_fn = std::function<bool()>;
inline bool always() { return true; }
