#include "dialogs/message_layout.h"

#include <QFontMetrics>
#include <QString>

#include <algorithm>
#include <cstdint>

namespace dialogs {

int MulDiv(int a, int b, int c) {
    if (c == 0)
        return -1;
    const std::int64_t product = static_cast<std::int64_t>(a) * b;
    std::int64_t quotient = product / c;
    const std::int64_t remainder = product % c;
    const std::int64_t absRemainder = remainder < 0 ? -remainder : remainder;
    const std::int64_t absDivisor = c < 0 ? -static_cast<std::int64_t>(c) : c;
    if (2 * absRemainder >= absDivisor)
        quotient += ((product < 0) != (c < 0)) ? -1 : 1;
    return static_cast<int>(quotient);
}

namespace {

// The 0..240 scale of the classic hue/luminance/saturation utilities.
constexpr int HlsMax = 240;
constexpr int RgbMax = 255;
constexpr int HueUndefined = HlsMax * 2 / 3;

struct Hls {
    int h, l, s;
};

Hls rgbToHls(int r, int g, int b) {
    const int cMax = std::max({r, g, b});
    const int cMin = std::min({r, g, b});
    Hls out{HueUndefined, ((cMax + cMin) * HlsMax + RgbMax) / (2 * RgbMax), 0};
    if (cMax == cMin)
        return out;
    const int sum = cMax + cMin;
    const int delta = cMax - cMin;
    if (out.l <= HlsMax / 2)
        out.s = (delta * HlsMax + sum / 2) / sum;
    else
        out.s = (delta * HlsMax + (2 * RgbMax - sum) / 2) / (2 * RgbMax - sum);
    const int rDelta = ((cMax - r) * (HlsMax / 6) + delta / 2) / delta;
    const int gDelta = ((cMax - g) * (HlsMax / 6) + delta / 2) / delta;
    const int bDelta = ((cMax - b) * (HlsMax / 6) + delta / 2) / delta;
    if (r == cMax)
        out.h = bDelta - gDelta;
    else if (g == cMax)
        out.h = HlsMax / 3 + rDelta - bDelta;
    else
        out.h = 2 * HlsMax / 3 + gDelta - rDelta;
    if (out.h < 0)
        out.h += HlsMax;
    if (out.h > HlsMax)
        out.h -= HlsMax;
    return out;
}

int hueToRgb(int n1, int n2, int hue) {
    if (hue < 0)
        hue += HlsMax;
    if (hue > HlsMax)
        hue -= HlsMax;
    if (hue < HlsMax / 6)
        return n1 + ((n2 - n1) * hue + HlsMax / 12) / (HlsMax / 6);
    if (hue < HlsMax / 2)
        return n2;
    if (hue < HlsMax * 2 / 3)
        return n1 + ((n2 - n1) * (HlsMax * 2 / 3 - hue) + HlsMax / 12) / (HlsMax / 6);
    return n1;
}

int clampChannel(int v) {
    return std::clamp(v, 0, RgbMax);
}

QColor hlsToRgb(int hue, int lum, int sat) {
    if (sat == 0) {
        const int grey = clampChannel(lum * RgbMax / HlsMax);
        return QColor(grey, grey, grey);
    }
    const int magic2 = lum <= HlsMax / 2 ? (lum * (HlsMax + sat) + HlsMax / 2) / HlsMax
                                         : lum + sat - (lum * sat + HlsMax / 2) / HlsMax;
    const int magic1 = 2 * lum - magic2;
    auto channel = [&](int h) {
        return clampChannel((hueToRgb(magic1, magic2, h) * RgbMax + HlsMax / 2) / HlsMax);
    };
    return QColor(channel(hue + HlsMax / 3), channel(hue), channel(hue - HlsMax / 3));
}

} // namespace

QColor ColorWithLuminance(const QColor& color, int luminance) {
    const QColor rgb = color.toRgb();
    const Hls hls = rgbToHls(rgb.red(), rgb.green(), rgb.blue());
    return hlsToRgb(hls.h, std::clamp(luminance, 0, HlsMax), hls.s);
}

QSize MeasureAverageCharSize(const QFontMetrics& metrics) {
    const QString letters = QStringLiteral("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz");
    return QSize(metrics.horizontalAdvance(letters) / 52, metrics.height());
}

TMsgDlgButtons EffectiveButtons(TMsgDlgType type, TMsgDlgButtons buttons) {
    if (!buttons.isEmpty())
        return buttons;
    return type == mtConfirmation ? TMsgDlgButtons{mbYes, mbNo} : TMsgDlgButtons{mbOK};
}

TMsgDlgBtn RequestedDefaultButton(TMsgDlgButtons buttons) {
    if (buttons.contains(mbOK))
        return mbOK;
    if (buttons.contains(mbYes))
        return mbYes;
    return mbRetry;
}

TMsgDlgBtn ResolveDefaultButton(TMsgDlgButtons shown, TMsgDlgBtn requested) {
    if (shown.contains(requested))
        return requested;
    for (int i = 0; i < ButtonCount; ++i)
        if (shown.contains(i))
            return static_cast<TMsgDlgBtn>(i);
    return requested;
}

TMsgDlgBtn CancelButtonFor(TMsgDlgButtons shown) {
    if (shown.contains(mbCancel))
        return mbCancel;
    if (shown.contains(mbNo))
        return mbNo;
    return mbOK;
}

MessageLayout ComputeMessageLayout(const MessageLayoutInput& in) {
    const int cx = in.averageCharSize.width();
    const int cy = in.averageCharSize.height();
    const int sw = in.screenSize.width();
    const int sh = in.screenSize.height();
    const int tw = in.textSize.width();
    const int th = in.textSize.height();
    constexpr int iconSize = 32;

    MessageLayout L;
    L.mx = MulDiv(8, cx, 4);
    L.my = MulDiv(8, cy, 8);
    L.gy = MulDiv(10, cy, 8);
    L.bw = MulDiv(50, cx, 4);
    for (int i = 0; i < ButtonCount; ++i)
        if (in.buttons.contains(i))
            L.bw = std::max(L.bw, in.captionWidths[static_cast<std::size_t>(i)]);
    L.bh = MulDiv(14, cy, 8);
    L.bs = MulDiv(4, cx, 4);

    L.iw = in.hasIcon ? iconSize : 0;
    L.W1 = 2 * L.mx + tw + (in.hasIcon ? iconSize + L.gy : 0);
    L.A = std::min(std::min(th, sh / 2) + iconSize + L.my, sh / 2);
    L.buttonCount = in.buttons.count();
    L.G = L.buttonCount > 0 ? L.buttonCount * L.bw + (L.buttonCount - 1) * L.bs : 0;

    const int fw = in.frameSize.width();
    const int fh = in.frameSize.height();
    L.W2 = std::max(L.W1 + fw + 2, 350);
    const int need = th + fh + 2;
    L.MH = std::min(need, L.A - 2 * L.my);
    L.needsScrollBar = need > L.MH;

    L.iconRect = QRect(L.mx, L.my / 2, iconSize, iconSize);
    L.titleTop = L.my - in.titleFontPointSize / 2;
    L.memoRect = QRect(L.iw + L.mx, L.my + iconSize, L.W2 - L.iw - L.mx, L.MH);
    L.clientSize = QSize(L.mx / 2 + std::max(L.W2, L.G), L.A + L.bh + L.gy + 2 * L.my);

    const int outerWidth = L.clientSize.width() + fw;
    const int outerHeight = L.clientSize.height() + fh;
    L.position = QPoint(sw / 2 - outerWidth / 2, sh / 2 - outerHeight / 2);

    const int panelHeight = L.clientSize.height() - L.A - L.my;
    L.panelRect = QRect(0, L.clientSize.height() - panelHeight, L.clientSize.width(), panelHeight);

    int x = (L.clientSize.width() - L.G) / 2;
    for (int i = 0; i < ButtonCount; ++i) {
        if (!in.buttons.contains(i))
            continue;
        L.buttonRects.append(QRect(x, L.gy, L.bw, L.bh));
        x += L.bw + L.bs;
    }
    return L;
}

} // namespace dialogs
