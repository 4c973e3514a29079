// The drawing surface that tree nodes paint on.
//
// Nodes draw their icons, the tree layout and the time bars through this small interface; the
// tree view implements it on the GUI side, tests implement it by recording the calls. The core
// never includes any GUI toolkit. Coordinates are pixels of the view, y growing downwards.
#pragma once

#include <cstdint>
#include <string>

class DrawContext {
public:
    virtual ~DrawContext() = default;
    // The 48 by 48 icon with resource number bitmapId, scaled to size by size at x, y.
    virtual void DrawIcon(int bitmapId, int x, int y, int size) = 0;
    virtual void DrawLine(int x1, int y1, int x2, int y2) = 0;
    virtual void DrawText(int x, int y, const std::string& text) = 0;
    // A filled rectangle in the colour 0xRRGGBB.
    virtual void FillRect(int x, int y, int width, int height, uint32_t rgb) = 0;
};

class ProtoType;

// Where DrawTree lays out a subtree: the node sits in the horizontal span [x, x + width) of its
// row; each deeper row halves the span (the same split the tree view's hit test uses).
struct TreeLayout {
    int x = 0;
    int y = 0;
    int width = 0;
    int rowHeight = 64;
    int rows = 4; // rows to draw, counted from the top node
    int iconSize = 48;
    const ProtoType* selected = nullptr; // highlighted
};

// Where DrawTimeBars puts each node's window: one bar per node and row, at
// x + (absolute start - origin) * pixelsPerMs.
struct TimeBarLayout {
    int x = 0;
    int y = 0;
    int rowHeight = 12;
    double pixelsPerMs = 0.05;
    uint32_t origin = 0;
    int maxRows = 64;
};
