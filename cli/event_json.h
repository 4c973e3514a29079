// Events as JSON objects, shared by every command that prints events.
//
//   {"time":T,"kind":"midi","status":S,"data1":A,"data2":B,"data3":C,"duration":D}
//   {"time":T,"kind":"value","value":V}
//   {"time":T,"kind":"wave","name":S,"duration":D}
//   {"time":T,"kind":"block","count":N}
#pragma once

#include "cli/json.h"

#include <cstdint>

class SongEvent;
class CEventTree;

namespace cli {

// Writes one event at the given time.
void WriteEvent(JsonWriter& json, const SongEvent& event, uint32_t time);
// Writes every event of the store, in time order, as an array.
void WriteEvents(JsonWriter& json, CEventTree& events);

} // namespace cli
