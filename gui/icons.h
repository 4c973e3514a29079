// Icons: the program's and each kind of document's (the installed SVG files, built in), and the
// tool bar's, drawn as vectors in the palette's colours at whatever size and scale is asked, so
// they stay sharp at 2x and follow the light and dark palettes.
//
// Used on the user-interface thread only.
#pragma once

#include <QIcon>

#include <cstdint>

namespace gui {

QIcon ProgramIcon();
// The icon of a document kind flag (kDocKindSong, ...); the program's for an unknown kind.
QIcon DocumentKindIcon(uint32_t kind);

enum class ActionGlyph {
    kNewSong,
    kOpen,
    kSave,
    kPlay,
    kStop,
    kRecord,
    kDevices,
};
QIcon ActionIcon(ActionGlyph glyph);

} // namespace gui
