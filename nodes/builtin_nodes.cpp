#include "nodes/builtin_nodes.h"

#include "nodes/control.h"
#include "nodes/library.h"
#include "nodes/logic.h"
#include "nodes/midi.h"
#include "nodes/numeric.h"
#include "nodes/set.h"
#include "nodes/soundcard.h"
#include "nodes/wave.h"
#include "tree/registry.h"

void RegisterBuiltinNodeTypes() {
    RegisterNodeFamily(ControlNodeTypes());
    RegisterNodeFamily(NumericNodeTypes());
    RegisterNodeFamily(MidiNodeTypes());
    RegisterNodeFamily(LogicNodeTypes());
    RegisterNodeFamily(SetNodeTypes());
    RegisterNodeFamily(SoundCardNodeTypes());
    RegisterNodeFamily(WaveNodeTypes());
    RegisterNodeFamily(LibraryNodeTypes());
}
