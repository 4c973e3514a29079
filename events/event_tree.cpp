#include "events/event_tree.h"
