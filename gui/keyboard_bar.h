// The virtual keyboard and the pitch wheel as tool bars of the main window, over the keyboard's
// model (editing/virtual_keyboard.h).
//
// "The Keyboard" bar: the octave and velocity boxes, the send switch and the drawn keyboard. The
// drawn keyboard is the model's: the model's coordinates (220 pixels from its left edge, the
// black keys' row above y 28) are scaled to the widget, a mouse press, move and release go to
// the model in those coordinates, and the held key is drawn pressed. While the drawn keyboard
// has focus, the computer keys the model maps play notes (a press its note-on, an auto-repeat
// nothing, the release the note-off); every other key goes on to the window, so Space still
// plays the song.
//
// The pitch wheel bar: a vertical slider over the model's wheel (0 at the top, the centre 8192)
// and the Tune button.
//
// Used on the user-interface thread only.
#pragma once

#include "editing/virtual_keyboard.h"

#include <QToolBar>
#include <QWidget>

class QCheckBox;
class QSlider;
class QSpinBox;

namespace gui {

// The drawn keyboard.
class KeyboardView : public QWidget {
    Q_OBJECT

public:
    explicit KeyboardView(editing::VirtualKeyboard& keyboard, QWidget* parent = nullptr);

    QSize sizeHint() const override;
    QSize minimumSizeHint() const override { return sizeHint(); }
    // A point of the widget in the model's coordinates.
    QPoint ToModel(const QPoint& p) const;
    // The centre of a key number (before the octave) in the widget, for tests and pictures.
    QPoint CentreOfKey(int key) const;

protected:
    void paintEvent(QPaintEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;
    void mouseMoveEvent(QMouseEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;
    void mouseDoubleClickEvent(QMouseEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;
    void keyReleaseEvent(QKeyEvent* event) override;
    void focusOutEvent(QFocusEvent* event) override;

private:
    // The model's key of a Qt key event (its upper-case character), or 0.
    static int KeyOf(const QKeyEvent* event);
    double Scale() const;

    editing::VirtualKeyboard& keyboard_;
    std::vector<int> down_; // computer keys held
};

class KeyboardBar : public QToolBar {
    Q_OBJECT

public:
    static constexpr const char* kTitle = "The Keyboard";

    explicit KeyboardBar(editing::VirtualKeyboard& keyboard, QWidget* parent = nullptr);
    ~KeyboardBar() override;

    KeyboardView* View() const { return view_; }
    QSpinBox* OctaveBox() const { return octave_; }
    QSpinBox* VelocityBox() const { return velocity_; }
    QCheckBox* SendBox() const { return send_; }

public Q_SLOTS:
    void Refresh();

private:
    editing::VirtualKeyboard& keyboard_;
    KeyboardView* view_;
    QSpinBox* octave_;
    QSpinBox* velocity_;
    QCheckBox* send_;
};

class PitchWheelBar : public QToolBar {
    Q_OBJECT

public:
    static constexpr const char* kTitle = "Pitch Wheel";

    explicit PitchWheelBar(editing::VirtualKeyboard& keyboard, QWidget* parent = nullptr);

    QSlider* Wheel() const { return wheel_; }
    QAction* TuneAction() const { return tune_; }

public Q_SLOTS:
    void Refresh();

private:
    editing::VirtualKeyboard& keyboard_;
    QSlider* wheel_;
    QAction* tune_;
};

} // namespace gui
