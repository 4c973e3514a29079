// The node families the factory knows, gathered from each family's own table.
#include "nodes/control.h"
#include "nodes/logic.h"
#include "nodes/midi.h"
#include "nodes/numeric.h"
#include "tree/registry.h"

#include <array>

std::span<const std::span<const NodeFactoryEntry>> NodeFamilies() {
    static const std::array<std::span<const NodeFactoryEntry>, 4> families = {
        ControlNodeTypes(), NumericNodeTypes(), MidiNodeTypes(), LogicNodeTypes()};
    return families;
}
