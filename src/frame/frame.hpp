// The shared Python boundary of the typed kernel modules (_tarsine, _plenvo,
// _vellard): everything that knows CPython or NumPy.  A module declares its
// functions in a table of FuncDef records, each with a typed body, and
// hands its name, docstring and table to module_init from its PyInit_ entry
// point.
//
//   decl.hpp         declarations (parameters, functions, module) and state
//   traceback.hpp    traceback entries
//   function.hpp     the function type
//   binding.hpp      argument binding, integer conversion
//   buffer.hpp       array type test, buffer views, format parser
//   call.hpp         the call scope: views, working arrays, scratch, lines
//   numpy_calls.hpp  NumPy functions through the module attribute `np`
//   typed.hpp        the road of a call and the typed `*_impl` layer
//   module.hpp       module creation and execution
#ifndef KELPWISE_FRAME_FRAME_HPP
#define KELPWISE_FRAME_FRAME_HPP

#include "binding.hpp"
#include "buffer.hpp"
#include "call.hpp"
#include "decl.hpp"
#include "function.hpp"
#include "module.hpp"
#include "numpy_calls.hpp"
#include "traceback.hpp"
#include "typed.hpp"

#endif  // KELPWISE_FRAME_FRAME_HPP
