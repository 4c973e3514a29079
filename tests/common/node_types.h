// Registers the built-in node types once, before any test makes a node by name.
#pragma once

#include "nodes/builtin_nodes.h"

inline const bool kNodeTypesRegistered = (RegisterBuiltinNodeTypes(), true);
