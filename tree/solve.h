// Solving a tree into events: the stand-alone loops and the tree document's solver.
//
// SolveInto(node, output, step) solves a subtree over its own window: in event mode (step 0)
// it jumps from one pending time to the next (the list's next time), in fixed-step mode it
// samples at 0, step, 2·step, ... and stamps each event with its step's time. Both stop when
// the window's end is passed or, in event mode, when nothing is pending.
//
// TreeSolver is what a tree document keeps next to its Root and solution. The document calls
//   BeginSolve / Solve (toggle) / StopSolve       for the commands,
//   Idle()                                        from idle processing while IsSolving(),
//   ResolveRange(start, length)                   from the Root's NotifyTimeChange,
//   GetEvents(modified)                           for other documents,
//   SolveAtOnce()                                 after reading a file without a solution,
//   ClearSolution(), PlayInputEvent(...)          for the remaining commands.
// The background solve continues the event-mode walk from chunk to chunk, so chunks give
// exactly what one uninterrupted walk gives; a re-solve clears its range once when it begins.
// Everything runs on the user-interface thread.
#pragma once

#include <cstdint>

class CEventTree;
class CNoteEventList;
class EventMidi;
class ProtoType;

// Every solving loop keeps to a budget, so a tree that would yield more than the machine can
// hold (a Root of days over a Loop of 1 ms, say, read from a file) cannot hang the program or
// exhaust memory: a loop stops after `maxSteps` steps or `maxEvents` events and shows
// "The solution was cut short: the tree yields too many events." once per solve.
struct SolveLimits {
    uint64_t maxSteps = 200'000'000;
    uint64_t maxEvents = 20'000'000;
};
SolveLimits& CurrentSolveLimits();
// True when the most recent solving loop stopped at the budget.
bool LastSolveWasCut();
constexpr const char* kSolveCutMessage =
    "The solution was cut short: the tree yields too many events.";

void SolveInto(ProtoType& node, CNoteEventList& output, uint32_t step);
void SolveInto(ProtoType& node, CEventTree& output, uint32_t step);

// Walks `node` in event mode from `now` while now < to, moving every produced event into the
// solution (times unchanged). Returns where the walk stands afterwards: the next time to solve
// (at or after `to`), or 1000000000 when nothing is pending.
uint32_t SolveSteps(ProtoType& node, CEventTree& solution, uint32_t now, uint32_t to);
// Solve range: removes the events in [from, to) from the solution, then walks from `from`.
void SolveRange(ProtoType& node, CEventTree& solution, uint32_t from, uint32_t to);

// Where live results go at once (the MIDI output implements it).
class LiveOutput {
public:
    virtual ~LiveOutput() = default;
    // Sends every event of the list now; the list keeps its events (the caller empties it).
    virtual void QuickOut(CNoteEventList& events) = 0;
};

// The four options of "Tree Computation Options".
struct SolveOptions {
    bool timeDelimit = true;     // "Time-Delimit the solution tree"
    bool resolveOnChange = true; // "Re-Solve the tree when you change it"
    bool saveGenerated = true;   // "Save Generated Material"
    bool solvable = true;        // "Make the Tree solvable"
};

class TreeSolver {
public:
    static constexpr uint32_t kChunkLength = 2000;

    // `root` and `solution` must outlive the solver.
    TreeSolver(ProtoType& root, CEventTree& solution) : root_(root), solution_(solution) {}

    SolveOptions options;

    // Empties the solution, resets the Root's counters and starts the background solve over
    // the Root's window.
    void BeginSolve();
    // The "Solve" command: stops a running solve, else begins one.
    void Solve();
    // The "Stop Solve" command.
    void StopSolve() { solving_ = false; }
    bool IsSolving() const { return solving_; }

    // One step of the background solve over at most `request` ms. Returns the part of the
    // request that found nothing left to solve: non-zero means the solve has ended.
    uint32_t SolveChunk(uint32_t request);
    // One idle call: a chunk of kChunkLength when solving; clears the solving flag when the
    // chunk ran out of material. True while more idle time is wanted.
    bool Idle();

    // Re-solve [start, start + length) (from NotifyTimeChange): clears that range of the
    // solution once and solves it again in the background. A range arriving while another
    // solve is under way is merged with what that solve still has to do.
    void ResolveRange(uint32_t start, uint32_t length);

    // Get events: when modified (and solvable) solves the whole tree at once first.
    CEventTree& GetEvents(bool modified);
    // Empties the solution, resets the Root's counters, solves the whole tree at once.
    void SolveAtOnce();
    // "Tabla Rasa.": empties the solution.
    void ClearSolution();

    // Live solving of one input note through the Root's left branch; results (with the
    // note-offs of their notes) go to `output` at once. Non-notes are ignored.
    void PlayInputEvent(const EventMidi& event, LiveOutput& output);

    uint32_t Position() const { return position_; }
    uint32_t Remaining() const { return remaining_; }

private:
    ProtoType& root_;
    CEventTree& solution_;
    bool solving_ = false;
    uint32_t position_ = 0;  // absolute time the background solve has reached
    uint32_t remaining_ = 0; // length still to solve
    uint32_t walkNow_ = 0;   // the event-mode walk's next time, carried from chunk to chunk
};
