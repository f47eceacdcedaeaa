// The interpolation rules, one enum for every layer: the package's
// converter of `interpolation` reads their names here, and the paths'
// dispatch table (resample.cpp) has an entry per rule for each path.
#pragma once

enum rule { linear, nearest, label, cubic, rule_count };

constexpr const char *rule_names[rule_count] = {"linear", "nearest", "label", "cubic"};

// Whether a rule reads and writes float32 (else the image's own elements).
constexpr bool floats_out(int r) { return r == linear || r == cubic; }
