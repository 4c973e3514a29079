#include "nodes/envelope_editor.h"

#include <algorithm>
#include <cmath>

namespace {

float Held(double v) {
    if (!(v >= 0.0)) return 0.0f;
    return static_cast<float>(std::min(v, 1.0));
}

} // namespace

EnvelopeEditor::EnvelopeEditor(const FxEnvelope& node) : points_(node.points) {
    if (points_.size() < 2) points_ = {{0.5f, 0.0f}, {0.5f, 1.0f}};
    Fix();
}

int EnvelopeEditor::HitTest(double position, double level) const {
    int best = -1;
    double bestDistance = 0.0;
    for (size_t i = 0; i < points_.size(); ++i) {
        const double dx = std::fabs(points_[i].position - position);
        const double dy = std::fabs(points_[i].level - level);
        if (dx > kHitDistance || dy > kHitDistance) continue;
        const double d = std::max(dx, dy);
        if (best < 0 || d < bestDistance) {
            best = static_cast<int>(i);
            bestDistance = d;
        }
    }
    return best;
}

bool EnvelopeEditor::Press(double position, double level) {
    selected_ = HitTest(position, level);
    dragging_ = selected_ >= 0;
    Changed();
    return dragging_;
}

void EnvelopeEditor::Drag(double position, double level) {
    if (!dragging_ || selected_ < 0 || selected_ >= PointCount()) return;
    EnvelopePoint p = points_[static_cast<size_t>(selected_)];
    p.position = Held(position);
    p.level = Held(level);
    points_.erase(points_.begin() + selected_);
    // After the points at the same position or before it.
    auto at = std::upper_bound(points_.begin(), points_.end(), p.position,
                               [](float pos, const EnvelopePoint& q) { return pos < q.position; });
    selected_ = static_cast<int>(at - points_.begin());
    points_.insert(at, p);
    Fix();
    Changed();
}

bool EnvelopeEditor::DoubleClick(double position, double level) {
    if (HitTest(position, level) >= 0) return false;
    const EnvelopePoint p{Held(level), Held(position)};
    auto at = std::upper_bound(points_.begin(), points_.end(), p.position,
                               [](float pos, const EnvelopePoint& q) { return pos < q.position; });
    selected_ = static_cast<int>(at - points_.begin());
    points_.insert(at, p);
    Fix();
    Changed();
    return true;
}

void EnvelopeEditor::SetPointCount(int n) {
    const size_t keep = std::clamp<size_t>(static_cast<size_t>(std::max(n, 2)), 2, points_.size());
    if (keep == points_.size()) return;
    points_.resize(keep);
    if (selected_ >= PointCount()) selected_ = -1;
    Fix();
    Changed();
}

void EnvelopeEditor::ApplyTo(FxEnvelope& node) const {
    node.SetPoints(points_);
}

void EnvelopeEditor::Fix() {
    points_.front().position = 0.0f;
    points_.back().position = 1.0f;
}

void EnvelopeEditor::Changed() {
    if (onChanged) onChanged();
}

int EnvelopeEditor::XOf(double position, int width) {
    return static_cast<int>(std::lround(Held(position) * std::max(0, width - 1)));
}

int EnvelopeEditor::YOf(double level, int height) {
    return static_cast<int>(std::lround((1.0 - Held(level)) * std::max(0, height - 1)));
}

double EnvelopeEditor::PositionAt(int x, int width) {
    return width > 1 ? Held(static_cast<double>(x) / (width - 1)) : 0.0;
}

double EnvelopeEditor::LevelAt(int y, int height) {
    return height > 1 ? Held(1.0 - static_cast<double>(y) / (height - 1)) : 0.0;
}
