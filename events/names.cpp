#include "events/names.h"
