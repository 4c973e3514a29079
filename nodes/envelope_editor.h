// The editing rules of the envelope page's drawing area, for the desktop program to draw and
// forward input to.
//
// The area maps a point's position (0.0 .. 1.0) to the horizontal axis and its level (0.0 ..
// 1.0) to the vertical axis, 1.0 at the top. The editor works on a copy of the envelope's
// points; the page writes them into the node on OK (ApplyTo), so Cancel leaves the node as it
// was. Rules:
// - a press within kHitDistance of a point in both coordinates selects it (the nearest one);
// - dragging moves the selected point (held to the area) and re-inserts it in position order;
// - a double click that hits no point inserts a new point there;
// - "Number of points:" keeps the first points (at least two) and drops the rest;
// - after every change the first point's position is 0.0 and the last point's 1.0.
// An envelope with fewer than two points starts the editor from the default two.
//
// Plain C++ on the user-interface thread; observers hear of every change.
#pragma once

#include "nodes/wave.h"

#include <functional>
#include <vector>

class EnvelopeEditor {
public:
    static constexpr double kHitDistance = 0.05;

    explicit EnvelopeEditor(const FxEnvelope& node);

    const std::vector<EnvelopePoint>& Points() const { return points_; }
    int PointCount() const { return static_cast<int>(points_.size()); }
    // The selected point's index, -1 for none.
    int Selected() const { return selected_; }
    // The index of the point a press at (position, level) hits, -1 for none.
    int HitTest(double position, double level) const;

    // A press of the left button: selects the point hit, or none. True when one was hit.
    bool Press(double position, double level);
    // A move with the button down: moves the selected point there.
    void Drag(double position, double level);
    // The button let go: the point stays selected.
    void Release() { dragging_ = false; }
    // A double click: inserts a point there unless a point is hit. True when inserted.
    bool DoubleClick(double position, double level);
    // "Number of points:" (the field offers 0 .. 12; fewer than two keep two).
    void SetPointCount(int n);

    // The points into the node (pointCount follows).
    void ApplyTo(FxEnvelope& node) const;

    // The area's pixels: x from position, y from level (1.0 at the top), and back.
    static int XOf(double position, int width);
    static int YOf(double level, int height);
    static double PositionAt(int x, int width);
    static double LevelAt(int y, int height);

    // Called after every change of the points or the selection.
    std::function<void()> onChanged;

private:
    void Fix();
    void Changed();

    std::vector<EnvelopePoint> points_;
    int selected_ = -1;
    bool dragging_ = false;
};
