#pragma once

#include "dialogs/message_types.h"

#include <QColor>
#include <QList>
#include <QPoint>
#include <QRect>
#include <QSize>

#include <array>

class QFontMetrics;

namespace dialogs {

// a * b / c rounded to the nearest integer, halves away from zero; -1 when c is 0.
int MulDiv(int a, int b, int c);

// Replaces the luminance of a colour on the 0..240 hue/luminance/saturation scale,
// keeping hue and saturation, with the integer rounding of the classic conversion
// (so RGB(245,245,245) at 200 gives exactly RGB(212,212,212)).
QColor ColorWithLuminance(const QColor& color, int luminance);

// Average character width (the 52 letters A-Z a-z, width div 52) and line height.
QSize MeasureAverageCharSize(const QFontMetrics& metrics);

// The buttons a dialog shows: an empty set means Yes and No for a confirmation,
// OK for every other type.
TMsgDlgButtons EffectiveButtons(TMsgDlgType type, TMsgDlgButtons buttons);

// The default the short build overload asks for: OK, else Yes, else Retry (which
// may not be shown at all; then the first shown button wins).
TMsgDlgBtn RequestedDefaultButton(TMsgDlgButtons buttons);

// The default button actually used: the requested one if shown, else the first
// shown one.
TMsgDlgBtn ResolveDefaultButton(TMsgDlgButtons shown, TMsgDlgBtn requested);

// The button Escape presses: Cancel, else No, else OK. It may not be shown; then
// Escape presses nothing.
TMsgDlgBtn CancelButtonFor(TMsgDlgButtons shown);

// Everything the dialog geometry depends on, measured beforehand.
struct MessageLayoutInput {
    QSize averageCharSize;                        // cx, cy
    std::array<int, ButtonCount> captionWidths{}; // measured caption width + 8, per index
    TMsgDlgButtons buttons;                       // the buttons shown (never empty in practice)
    QSize textSize;                               // tw, th of the word-wrapped message
    QSize screenSize;                             // sw, sh
    QSize frameSize;                              // outer minus client size
    bool hasIcon = true;
    int titleFontPointSize = 12;
};

// The geometry of a message dialog, in client coordinates unless said otherwise.
struct MessageLayout {
    int mx = 0, my = 0, gy = 0; // margins and vertical spacing
    int bw = 0, bh = 0, bs = 0; // button width, height and gap
    int iw = 0;                 // icon column width (0 without icon)
    int W1 = 0;                 // width wanted by icon and text
    int A = 0;                  // height of everything above the button band
    int buttonCount = 0;
    int G = 0;  // width of the button row
    int W2 = 0; // text band width, at least 350
    int MH = 0; // memo height
    bool needsScrollBar = false;
    QRect iconRect;
    int titleTop = 0;
    QRect memoRect;
    QSize clientSize;
    QPoint position; // outer top-left on the screen, centred
    QRect panelRect;
    QList<QRect> buttonRects; // within the panel, in button index order
};

MessageLayout ComputeMessageLayout(const MessageLayoutInput& in);

} // namespace dialogs
