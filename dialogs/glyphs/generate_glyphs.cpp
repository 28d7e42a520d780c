// Draws the small pictures of the dialog buttons, one set in the blue of the
// launcher's artwork: a rounded blue badge with a white line symbol. Run by hand
// when the glyphs change:
//   quorvia-glyph-generator <output folder>
// and commit the PNGs it writes (16 px and @2x); the normal build only embeds them.

#include <QDir>
#include <QGuiApplication>
#include <QImage>
#include <QLinearGradient>
#include <QPainter>
#include <QPainterPath>
#include <QTextStream>

#include <cstdio>

namespace {

// The launcher's button blue, top to bottom.
const QColor BadgeBlue(0x1F, 0x78, 0xC8);
const QColor BadgeBlueDark(0x16, 0x5A, 0x9C);
const QColor BadgeEdge(0x12, 0x4A, 0x80);

constexpr int GlyphSize = 16; // the icon size of a push button

enum class Symbol { Check, Return, Cross, Slashed, Minus, Circle, Skip, Grid, Question, Exit };

struct GlyphRecipe {
    const char16_t* name;
    Symbol symbol;
    bool doubled; // the "to all" variants: the symbol twice
};

// One entry per button kind with a picture, plus the two "to all" buttons.
const GlyphRecipe Glyphs[] = {
    {u"yes", Symbol::Check, false},       {u"ok", Symbol::Return, false},
    {u"abort", Symbol::Cross, false},     {u"cancel", Symbol::Slashed, false},
    {u"no", Symbol::Minus, false},        {u"retry", Symbol::Circle, false},
    {u"ignore", Symbol::Skip, false},     {u"all", Symbol::Grid, false},
    {u"help", Symbol::Question, false},   {u"close", Symbol::Exit, false},
    {u"yes-to-all", Symbol::Check, true}, {u"no-to-all", Symbol::Cross, true},
};

QPen whitePen(double width) {
    return QPen(Qt::white, width, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin);
}

// The symbol in the 16-unit square, white lines about 1.8 units wide.
void drawSymbol(QPainter& p, Symbol symbol, double stroke) {
    p.setPen(whitePen(stroke));
    p.setBrush(Qt::NoBrush);
    switch (symbol) {
    case Symbol::Check: {
        QPainterPath path;
        path.moveTo(4.3, 8.3);
        path.lineTo(6.9, 10.9);
        path.lineTo(11.8, 5.2);
        p.drawPath(path);
        break;
    }
    case Symbol::Return: {
        QPainterPath path;
        path.moveTo(11.5, 4.3);
        path.lineTo(11.5, 9.5);
        path.lineTo(4.8, 9.5);
        p.drawPath(path);
        QPainterPath head;
        head.moveTo(7.3, 7.0);
        head.lineTo(4.8, 9.5);
        head.lineTo(7.3, 12.0);
        p.drawPath(head);
        break;
    }
    case Symbol::Cross:
        p.drawLine(QPointF(5.0, 5.0), QPointF(11.0, 11.0));
        p.drawLine(QPointF(11.0, 5.0), QPointF(5.0, 11.0));
        break;
    case Symbol::Slashed:
        p.drawEllipse(QPointF(8.0, 8.0), 4.0, 4.0);
        p.drawLine(QPointF(5.3, 10.7), QPointF(10.7, 5.3));
        break;
    case Symbol::Minus:
        p.drawLine(QPointF(4.5, 8.0), QPointF(11.5, 8.0));
        break;
    case Symbol::Circle: {
        // A circle running clockwise from the top, its arrow head there: try again.
        const QRectF ring(4.0, 4.0, 8.0, 8.0);
        p.drawArc(ring, 15 * 16, 290 * 16);
        QPainterPath head;
        head.moveTo(11.2, 4.0);
        head.lineTo(8.0, 1.6);
        head.lineTo(8.0, 6.4);
        head.closeSubpath();
        p.setPen(Qt::NoPen);
        p.setBrush(Qt::white);
        p.drawPath(head);
        break;
    }
    case Symbol::Skip:
        for (const double x : {4.5, 8.5}) {
            QPainterPath chevron;
            chevron.moveTo(x, 4.8);
            chevron.lineTo(x + 3.2, 8.0);
            chevron.lineTo(x, 11.2);
            p.drawPath(chevron);
        }
        break;
    case Symbol::Grid:
        p.setPen(Qt::NoPen);
        p.setBrush(Qt::white);
        for (const double x : {4.2, 8.8})
            for (const double y : {4.2, 8.8})
                p.drawRoundedRect(QRectF(x, y, 3.0, 3.0), 0.6, 0.6);
        break;
    case Symbol::Question: {
        QPainterPath path;
        path.moveTo(5.6, 6.1);
        path.cubicTo(5.6, 2.9, 10.6, 2.9, 10.6, 5.9);
        path.cubicTo(10.6, 7.9, 8.0, 7.9, 8.0, 9.9);
        p.drawPath(path);
        p.setPen(Qt::NoPen);
        p.setBrush(Qt::white);
        p.drawEllipse(QPointF(8.0, 12.4), stroke * 0.6, stroke * 0.6);
        break;
    }
    case Symbol::Exit: {
        QPainterPath door;
        door.moveTo(8.0, 4.2);
        door.lineTo(4.4, 4.2);
        door.lineTo(4.4, 11.8);
        door.lineTo(8.0, 11.8);
        p.drawPath(door);
        p.drawLine(QPointF(7.0, 8.0), QPointF(12.0, 8.0));
        QPainterPath head;
        head.moveTo(10.0, 6.0);
        head.lineTo(12.0, 8.0);
        head.lineTo(10.0, 10.0);
        p.drawPath(head);
        break;
    }
    }
}

QImage glyph(const GlyphRecipe& recipe, int scale) {
    const int side = GlyphSize * scale;
    QImage image(side, side, QImage::Format_ARGB32_Premultiplied);
    image.fill(Qt::transparent);
    image.setDevicePixelRatio(scale);
    QPainter p(&image);
    p.setRenderHint(QPainter::Antialiasing);

    const QRectF badge(0.5, 0.5, GlyphSize - 1.0, GlyphSize - 1.0);
    QLinearGradient gradient(badge.topLeft(), badge.bottomLeft());
    gradient.setColorAt(0, BadgeBlue);
    gradient.setColorAt(1, BadgeBlueDark);
    p.setPen(QPen(BadgeEdge, 1.0 / scale));
    p.setBrush(gradient);
    p.drawRoundedRect(badge, 3.5, 3.5);

    const double stroke = scale == 1 ? 1.7 : 1.6;
    if (!recipe.doubled) {
        drawSymbol(p, recipe.symbol, stroke);
        return image;
    }
    // The symbol twice, the one behind smaller and lighter: "for all of them".
    p.save();
    p.setOpacity(0.7);
    p.translate(-2.2, -2.2);
    p.translate(8.0, 8.0);
    p.scale(0.8, 0.8);
    p.translate(-8.0, -8.0);
    drawSymbol(p, recipe.symbol, stroke / 0.8);
    p.restore();
    p.translate(1.6, 1.6);
    p.translate(8.0, 8.0);
    p.scale(0.8, 0.8);
    p.translate(-8.0, -8.0);
    drawSymbol(p, recipe.symbol, stroke / 0.8);
    return image;
}

bool save(const QImage& image, const QDir& folder, const QString& fileName) {
    const QString path = folder.filePath(fileName);
    const bool ok = image.save(path, "PNG");
    QTextStream(stdout) << (ok ? "wrote " : "FAILED ") << path << Qt::endl;
    return ok;
}

} // namespace

int main(int argc, char* argv[]) {
    QGuiApplication app(argc, argv);
    if (argc != 2) {
        std::fputs("usage: quorvia-glyph-generator <output folder>\n", stderr);
        return 2;
    }
    const QDir folder(QString::fromLocal8Bit(argv[1]));
    bool ok = true;
    for (const GlyphRecipe& recipe : Glyphs) {
        const QString name = QString::fromUtf16(recipe.name);
        ok = save(glyph(recipe, 1), folder, name + QStringLiteral(".png")) && ok;
        ok = save(glyph(recipe, 2), folder, name + QStringLiteral("@2x.png")) && ok;
    }
    return ok ? 0 : 1;
}
