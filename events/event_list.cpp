#include "events/event_list.h"
