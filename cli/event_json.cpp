#include "cli/event_json.h"

#include "events/event_tree.h"
#include "events/song_event.h"

namespace cli {

void WriteEvent(JsonWriter& json, const SongEvent& event, uint32_t time) {
    json.BeginObject().Key("time").UInt(time);
    if (event.IsMidi()) {
        json.Key("kind").String("midi");
        json.Key("status").UInt(static_cast<const EventMidi&>(event).status);
        json.Key("data1").UInt(event.GetData1());
        json.Key("data2").UInt(event.GetData2());
        json.Key("data3").UInt(event.GetData3());
        json.Key("duration").UInt(event.GetDuration());
    } else if (event.IsValue()) {
        json.Key("kind").String("value");
        json.Key("value").Float(static_cast<float>(event.GetValue()));
    } else if (event.IsWave()) {
        json.Key("kind").String("wave");
        json.Key("name").String(static_cast<const EventWave&>(event).Name());
        json.Key("duration").UInt(event.GetDuration());
    } else if (event.IsBlock()) {
        json.Key("kind").String("block");
        json.Key("count").UInt(static_cast<const EventBlock&>(event).count);
    } else {
        json.Key("kind").String("event");
    }
    json.EndObject();
}

void WriteEvents(JsonWriter& json, CEventTree& events) {
    json.BeginArray();
    for (SongEvent* e = events.First(); e; e = events.Next())
        WriteEvent(json, *e, events.CurrentTime());
    json.EndArray();
}

} // namespace cli
