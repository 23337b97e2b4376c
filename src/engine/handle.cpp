#include "engine/handle.hpp"

namespace corvane {

InterpreterHooks interpreter_hooks;

}  // namespace corvane
