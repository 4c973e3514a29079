// The JACK MIDI driver, on libjack.
//
// Every JACK MIDI port of the server is a device (this program's own ports, and those of any
// client whose name begins with "Dendra", excepted), named as JACK names it: "client:port".
// Opening a device registers a port of our own on the library's JACK client (jack_session.h),
// named as asked, and connects it to the device.
//
// Output: each message is written at the frame its time falls on (the server's time line, see
// jack_timeline.h) plus the output latency, OutputLatencyFrames: one cycle, the clock's dispatch
// period and room for its wake-up. Every message of a play thus keeps the same latency, which the
// port reports to the server as its capture latency. Within a cycle messages go out in frame
// order (equal frames in the order they were sent), so a message is never written before one
// already written. A message whose frame has passed when its cycle is processed goes out at the
// cycle's first frame and is counted as late (CMidiOut::LateMessages); a message the cycle's
// buffer has no room for waits for the next cycle. Nothing is dropped, but for a system-exclusive
// message longer than the server's MIDI buffer (32 KB), which could never go. A message sent
// outside the clock's tick (kAsSoonAsPossible) goes out after everything the port holds already, so
// a note-off sent at stop never overtakes the note-on it ends.
//
// Input: each message gets the time of its frame (the cycle's first frame plus its offset) on
// the clock's time line, so the clock stamps it with the tick of that moment, not the cycle's.
//
// Threads: SendShort and SendLong (the clock's thread, or the user-interface thread; serialised by
// the caller) write a single-producer single-consumer ring of records that the process callback
// reads. The process callback allocates nothing and takes no lock. Listing, opening and closing run
// on non-real-time threads; a port leaves the callback's sight before it is destroyed.
#pragma once

#include "sync/drivers/driver.h"

#include <string>
#include <vector>

namespace dsync {

class JackMidiDriver : public MidiDriver {
public:
    const char* Name() const override { return "JACK"; }
    bool IsSystemDriver() const override { return true; }
    std::vector<std::string> Outputs() override;
    std::vector<std::string> Inputs() override;
    unsigned OpenOutput(const std::string& port, const std::string& ownName,
                        std::unique_ptr<MidiOutPort>& out) override;
    unsigned OpenInput(const std::string& port, const std::string& ownName, MidiInSink* sink,
                       std::unique_ptr<MidiInPort>& out) override;

private:
    std::vector<std::string> ListPorts(bool writable);
};

} // namespace dsync
