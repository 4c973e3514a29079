#include "events/song_event.h"
