// Whole documents as JSON objects, shared by `dump` and by the dumps of documents kept inside
// others (a song's contained trees and event lists).
#pragma once

#include "cli/json.h"

class CDendraDoc;
class CSELDoc;

namespace cli {

// {"kind":"tree","version":V,"solvable":B,"saveGenerated":B,"comments":S,"root":NODE,
//  "solution":[EVENTS]} (cmd_tree.cpp)
void WriteTreeDocument(JsonWriter& json, CDendraDoc& doc);
// {"kind":"eventlist","unitsPerBeat":U,"events":[EVENTS]} (cmd_sel.cpp)
void WriteEventListDocument(JsonWriter& json, CSELDoc& doc);

} // namespace cli
