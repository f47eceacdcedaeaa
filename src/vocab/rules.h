// The interpolation rules, one enum for every layer: the package's
// converter of `interpolation` reads their names here. The targets' table
// (kernels/dispatch.cpp) holds each target's functions for all the rules, several
// for some (linear's part and whole call, cubic's rows and prefilter lines,
// the rows under a mode, a warp's steps), so it has more slots than rules.
#pragma once

enum rule { linear, nearest, label, cubic, rule_count };

constexpr const char *rule_names[rule_count] = {"linear", "nearest", "label", "cubic"};

// Whether a rule reads and writes float32 (else the image's own elements).
constexpr bool floats_out(int r) { return r == linear || r == cubic; }
