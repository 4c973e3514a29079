// The node library's built-in families, registered with the factory of the tree layer.
//
// Every program and test that makes nodes by name calls RegisterBuiltinNodeTypes once before
// (the application's start-up and the tree document do); later calls change nothing. Called on
// the user-interface thread.
#pragma once

void RegisterBuiltinNodeTypes();
