// The project's one way in to Eigen (the dense modules, fixed-size use only).
//
// The common runtime's C header defines a function-like macro `trace(...)`,
// part of its interface, which would rewrite every `trace(` token in Eigen's
// headers (the trace() members of its matrices) if it were defined while they
// are read. So Eigen is read here with the macro set aside and restored
// afterwards: headers may then be included in any order. Code that also sees
// c_common.h takes a matrix's trace as m.diagonal().sum().
#pragma once

#pragma push_macro("trace")
#undef trace
#include <Eigen/Dense>
#pragma pop_macro("trace")
