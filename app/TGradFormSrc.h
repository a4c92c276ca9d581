// A top-level window that paints its own caption bar: a horizontal colour
// gradient from black to the caption colour, with the window icon, the title
// in white and the caption buttons drawn over it.
//
// The platform sees a frameless window; the form draws its frame and caption
// in its contents margins and does what a window manager's decoration would
// do: dragging the caption moves the window, a double click on it maximises
// or restores, the borders and corners resize with the sizing cursors, and
// the caption buttons close, maximise/restore, minimise or ask for help.
// Moving and sizing go through the window manager when it supports it
// (QWindow::startSystemMove/Resize) and are done here otherwise.
//
// Deriving from it: build the window in the constructor as with any
// QMainWindow (setCentralWidget, setMenuBar, setStatusBar all live inside the
// frame) and put what must see the finished object, such as settings that
// classes below act on, into FormCreate(), which runs once right before the
// window is shown for the first time (or when EnsureCreated() is called).
#pragma once

#include <QFlags>
#include <QFont>
#include <QMainWindow>
#include <QRect>

#include <array>
#include <vector>

namespace lumigrab {

enum TFormBorderStyle { bsNone, bsSingle, bsSizeable, bsDialog, bsToolWindow, bsSizeToolWin };

enum TBorderIcon { biSystemMenu = 0x1, biMinimize = 0x2, biMaximize = 0x4, biHelp = 0x8 };
Q_DECLARE_FLAGS(TBorderIcons, TBorderIcon)
Q_DECLARE_OPERATORS_FOR_FLAGS(TBorderIcons)

// Where the window appears when first shown: where it was put, or centred on
// its screen.
enum TPosition { poDesigned, poScreenCenter };

class TGradientForm : public QMainWindow {
    Q_OBJECT

public:
    static constexpr int MinGradientColors = 8;
    static constexpr int MaxGradientColors = 256;

    // The owner, when given, owns the window (it is freed with the owner)
    // but the form stays a top-level window.
    explicit TGradientForm(QWidget* owner = nullptr);
    ~TGradientForm() override;

    // Number of colour bands, 64 by default; values outside 8..256 are
    // ignored.
    int GradientColors() const { return gradientColors_; }
    void SetGradientColors(int colors);
    // Whether an inactive window shows the gradient (in the inactive caption
    // colour) rather than a plain caption. False by default.
    bool GradientOnInactive() const { return gradientOnInactive_; }
    void SetGradientOnInactive(bool onInactive);

    // Frame kind; bsSizeable by default. bsNone draws neither frame nor
    // caption. Only the sizeable styles can be resized by their borders.
    TFormBorderStyle BorderStyle() const { return borderStyle_; }
    void SetBorderStyle(TFormBorderStyle style);
    // Caption buttons and icon; system menu, minimise and maximise by default.
    TBorderIcons BorderIcons() const { return borderIcons_; }
    void SetBorderIcons(TBorderIcons icons);
    TPosition Position() const { return position_; }
    void SetPosition(TPosition position);

    // Runs the creation sequence (FormCreate and what the classes below add
    // to it) unless it has run. Showing the window runs it too.
    void EnsureCreated();

    // The caption bar in window coordinates; empty for bsNone.
    QRect CaptionRect() const;

    void setVisible(bool visible) override;

protected:
    // The creation handler of a concrete form: runs once, after the whole
    // object is constructed and before the window is first shown.
    virtual void FormCreate() { }
    // The creation sequence; classes that add to it call the inherited one
    // first (it runs FormCreate).
    virtual void DoCreate() { FormCreate(); }

    // Fills the two colour rows from the palette's caption colours.
    void CalculateColors();
    // Composes the caption off screen and draws it in one step.
    void PaintCaption(QPainter& painter, bool active);

    void paintEvent(QPaintEvent* event) override;
    void changeEvent(QEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;
    void mouseMoveEvent(QMouseEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;
    void mouseDoubleClickEvent(QMouseEvent* event) override;

private:
    // What lies under a point of the window.
    enum class Hit {
        Client,
        Caption,
        SystemMenu,
        Left,
        Right,
        Top,
        Bottom,
        TopLeft,
        TopRight,
        BottomLeft,
        BottomRight,
        Close,
        MaxRestore,
        Minimize,
        Help
    };
    struct CaptionButton {
        Hit kind;
        QRect rect;
        bool enabled;
    };
    // A move or resize that the window manager could not take over.
    enum class Drag { None, Move, Resize };

    bool IsToolWindow() const;
    bool IsSizeable() const;
    bool CanMaximize() const;
    int FrameWidth() const;
    int CaptionHeight() const;
    void UpdateFrame();

    Hit HitTest(QPoint pos) const;
    std::vector<CaptionButton> CaptionButtons() const;
    void PaintFrame(QPainter& painter);
    void PaintGradient(QPainter& painter, const QRect& rect, bool active);
    void DrawCaptionIcon(QPainter& painter, QRect& rect);
    void DrawCaptionText(QPainter& painter, QRect& rect, const QColor& color, int rightLimit);
    void DrawCaptionButton(QPainter& painter, const CaptionButton& button, QPoint offset);
    QColor CaptionColor(bool active) const;

    void UpdateCursor(Hit hit);
    void StartMove();
    void StartResize(Hit hit);
    void ContinueDrag(QPoint globalPos);
    void PressButton(Hit button);
    void ShowSystemMenu(QPoint globalPos);
    void ToggleMaximized();
    void CenterOnScreen();
    void CompleteStateChange(Qt::WindowStates oldState);
    void CheckStateAnswered(bool maximized);

    // Row 0 inactive, row 1 active; entries 0..gradientColors_-1 in use.
    std::array<std::array<QRgb, MaxGradientColors>, 2> colors_ {};
    QFont captionFont_;
    int gradientColors_ = 64;
    bool gradientOnInactive_ = false;
    TFormBorderStyle borderStyle_ = bsSizeable;
    TBorderIcons borderIcons_ = TBorderIcons(biSystemMenu | biMinimize | biMaximize);
    TPosition position_ = poDesigned;
    bool created_ = false;
    bool shown_ = false;

    // Mouse state between press and release.
    Hit pressedButton_ = Hit::Client;
    bool pressedInside_ = false;
    bool movePending_ = false;
    Drag drag_ = Drag::None;
    Qt::Edges dragEdges_;
    QPoint pressGlobal_;
    QRect pressGeometry_;
    // Where a maximised window returns to.
    QRect normalGeometry_;
};

} // namespace lumigrab
