// Draws the launcher's pictures. Run by hand when the artwork changes:
//   quorvia-artwork-generator <output folder>
// and commit the JPEGs it writes; the normal build only embeds them.

#include <QDir>
#include <QFont>
#include <QGuiApplication>
#include <QImage>
#include <QLinearGradient>
#include <QPainter>
#include <QPainterPath>
#include <QTextStream>

#include <cmath>
#include <cstdio>
#include <numbers>

namespace {

const QColor PageGrey(0xE4, 0xE7, 0xEB);
const QColor BandBlue(0x14, 0x4E, 0x86);
const QColor BandBlueLight(0x1F, 0x6F, 0xB5);
const QColor ButtonBlue(0x1F, 0x78, 0xC8);
const QColor ButtonBlueDark(0x16, 0x5A, 0x9C);
const QColor TileFace(0xF8, 0xFA, 0xFC);
const QColor TileBorder(0xC3, 0xCC, 0xD6);
const QColor CaptionGrey(0x33, 0x3D, 0x48);

// The background is shown centred in the 1018 x 662 client area, so a point of
// the window lies at (x + 3, y + 53) in the picture.
constexpr QPointF BackgroundOffset(3.0, 53.0);

QPointF windowToBackground(const QRectF& component) {
    return component.center() + BackgroundOffset;
}

enum class Symbol {
    Document,
    Calendar,
    Currency,
    Chart,
    Box,
    Cart,
    Flask,
    Coins,
    Cross,
    Pie,
    Pulse,
    Rejected,
    Gear,
    Person
};

QFont uiFont(int pixelSize, bool bold) {
    QFont font(QStringLiteral("DejaVu Sans"));
    font.setPixelSize(pixelSize);
    font.setBold(bold);
    return font;
}

void drawGear(QPainter& p, const QRectF& r) {
    const QPointF c = r.center();
    const double outer = r.width() / 2.0;
    const double inner = outer * 0.72;
    QPainterPath path;
    constexpr int Teeth = 8;
    for (int i = 0; i < Teeth * 2; ++i) {
        const double radius = (i % 2 == 0) ? outer : inner;
        const double a0 = std::numbers::pi * i / Teeth;
        const double a1 = std::numbers::pi * (i + 1) / Teeth;
        const QPointF p0 = c + QPointF(std::cos(a0), std::sin(a0)) * radius;
        const QPointF p1 = c + QPointF(std::cos(a1), std::sin(a1)) * radius;
        if (i == 0)
            path.moveTo(p0);
        else
            path.lineTo(p0);
        path.lineTo(p1);
    }
    path.closeSubpath();
    path.addEllipse(c, outer * 0.3, outer * 0.3);
    path.setFillRule(Qt::OddEvenFill);
    p.fillPath(path, p.brush());
}

// A simple line symbol filling r, in colour.
void drawSymbol(QPainter& p, const QRectF& r, Symbol symbol, const QColor& colour) {
    p.save();
    p.setRenderHint(QPainter::Antialiasing);
    const double w = r.width();
    QPen pen(colour, std::max(2.0, w / 14.0), Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin);
    p.setPen(pen);
    p.setBrush(Qt::NoBrush);
    const QRectF in = r.adjusted(w * 0.12, w * 0.12, -w * 0.12, -w * 0.12);
    switch (symbol) {
    case Symbol::Document:
    case Symbol::Rejected: {
        const QRectF page(in.left() + in.width() * 0.15, in.top(), in.width() * 0.7, in.height());
        p.drawRoundedRect(page, 3, 3);
        for (int i = 1; i <= 3; ++i) {
            const double y = page.top() + page.height() * i / 4.5;
            p.drawLine(QPointF(page.left() + page.width() * 0.2, y),
                       QPointF(page.right() - page.width() * 0.2, y));
        }
        if (symbol == Symbol::Rejected) {
            const QRectF mark(page.center().x(), page.center().y() + page.height() * 0.1,
                              page.width() * 0.45, page.height() * 0.4);
            p.drawLine(mark.topLeft(), mark.bottomRight());
            p.drawLine(mark.topRight(), mark.bottomLeft());
        }
        break;
    }
    case Symbol::Calendar: {
        p.drawRoundedRect(in, 3, 3);
        p.drawLine(QPointF(in.left(), in.top() + in.height() * 0.3),
                   QPointF(in.right(), in.top() + in.height() * 0.3));
        p.setBrush(colour);
        for (int row = 0; row < 2; ++row)
            for (int col = 0; col < 3; ++col)
                p.drawRect(QRectF(in.left() + in.width() * (0.15 + 0.28 * col),
                                  in.top() + in.height() * (0.45 + 0.25 * row), in.width() * 0.14,
                                  in.height() * 0.12));
        break;
    }
    case Symbol::Currency:
    case Symbol::Coins: {
        p.drawEllipse(in);
        QFont f = uiFont(static_cast<int>(in.height() * 0.6), true);
        p.setFont(f);
        p.drawText(in, Qt::AlignCenter, QStringLiteral("$"));
        break;
    }
    case Symbol::Chart: {
        p.drawLine(in.bottomLeft(), in.bottomRight());
        p.drawLine(in.bottomLeft(), in.topLeft());
        p.setBrush(colour);
        const double heights[] = {0.4, 0.7, 0.55, 0.9};
        for (int i = 0; i < 4; ++i) {
            const double bw = in.width() * 0.14;
            const double x = in.left() + in.width() * (0.15 + 0.21 * i);
            p.drawRect(
                QRectF(x, in.bottom() - in.height() * heights[i], bw, in.height() * heights[i]));
        }
        break;
    }
    case Symbol::Box: {
        const QRectF box = in.adjusted(0, in.height() * 0.2, 0, 0);
        p.drawRect(box);
        p.drawLine(QPointF(box.left(), box.top()),
                   QPointF(box.left() + box.width() * 0.2, in.top()));
        p.drawLine(QPointF(box.right(), box.top()),
                   QPointF(box.right() - box.width() * 0.2, in.top()));
        p.drawLine(QPointF(box.left() + box.width() * 0.2, in.top()),
                   QPointF(box.right() - box.width() * 0.2, in.top()));
        p.drawLine(QPointF(box.center().x(), box.top()),
                   QPointF(box.center().x(), box.top() + box.height() * 0.35));
        break;
    }
    case Symbol::Cart: {
        QPainterPath path;
        path.moveTo(in.left(), in.top() + in.height() * 0.1);
        path.lineTo(in.left() + in.width() * 0.2, in.top() + in.height() * 0.1);
        path.lineTo(in.left() + in.width() * 0.32, in.top() + in.height() * 0.65);
        path.lineTo(in.right() - in.width() * 0.05, in.top() + in.height() * 0.65);
        path.lineTo(in.right(), in.top() + in.height() * 0.28);
        path.lineTo(in.left() + in.width() * 0.24, in.top() + in.height() * 0.28);
        p.drawPath(path);
        p.setBrush(colour);
        p.drawEllipse(QPointF(in.left() + in.width() * 0.38, in.bottom() - in.height() * 0.1),
                      w / 16, w / 16);
        p.drawEllipse(QPointF(in.right() - in.width() * 0.12, in.bottom() - in.height() * 0.1),
                      w / 16, w / 16);
        break;
    }
    case Symbol::Flask: {
        QPainterPath path;
        const double cx = in.center().x();
        path.moveTo(cx - in.width() * 0.12, in.top());
        path.lineTo(cx - in.width() * 0.12, in.top() + in.height() * 0.4);
        path.lineTo(in.left() + in.width() * 0.08, in.bottom());
        path.lineTo(in.right() - in.width() * 0.08, in.bottom());
        path.lineTo(cx + in.width() * 0.12, in.top() + in.height() * 0.4);
        path.lineTo(cx + in.width() * 0.12, in.top());
        p.drawPath(path);
        p.drawLine(QPointF(in.left() + in.width() * 0.25, in.top() + in.height() * 0.72),
                   QPointF(in.right() - in.width() * 0.25, in.top() + in.height() * 0.72));
        break;
    }
    case Symbol::Cross: {
        p.setPen(Qt::NoPen);
        p.setBrush(colour);
        const double t = in.width() * 0.3;
        p.drawRect(QRectF(in.center().x() - t / 2, in.top(), t, in.height()));
        p.drawRect(QRectF(in.left(), in.center().y() - t / 2, in.width(), t));
        break;
    }
    case Symbol::Pie: {
        p.drawEllipse(in);
        p.setBrush(colour);
        p.drawPie(in, 90 * 16, -110 * 16);
        break;
    }
    case Symbol::Pulse: {
        QPainterPath path;
        path.moveTo(in.left(), in.center().y());
        path.lineTo(in.left() + in.width() * 0.3, in.center().y());
        path.lineTo(in.left() + in.width() * 0.4, in.top());
        path.lineTo(in.left() + in.width() * 0.55, in.bottom());
        path.lineTo(in.left() + in.width() * 0.65, in.center().y());
        path.lineTo(in.right(), in.center().y());
        p.drawPath(path);
        break;
    }
    case Symbol::Gear:
        p.setPen(Qt::NoPen);
        p.setBrush(colour);
        drawGear(p, in);
        break;
    case Symbol::Person: {
        p.setBrush(colour);
        p.setPen(Qt::NoPen);
        p.drawEllipse(QPointF(in.center().x(), in.top() + in.height() * 0.25), in.width() * 0.22,
                      in.height() * 0.22);
        p.drawChord(QRectF(in.left() + in.width() * 0.1, in.top() + in.height() * 0.52,
                           in.width() * 0.8, in.height() * 0.9),
                    0, 180 * 16);
        break;
    }
    }
    p.restore();
}

// The part of a centred picture of pictureSize that a box of boxSize shows.
QRectF visibleArea(QSize pictureSize, QSize boxSize) {
    const double w = std::min(pictureSize.width(), boxSize.width());
    const double h = std::min(pictureSize.height(), boxSize.height());
    return QRectF((pictureSize.width() - w) / 2.0, (pictureSize.height() - h) / 2.0, w, h);
}

QImage wideButton(QSize size, QSize box, const QString& caption, Symbol symbol) {
    QImage image(size, QImage::Format_RGB32);
    image.fill(PageGrey);
    QPainter p(&image);
    p.setRenderHint(QPainter::Antialiasing);
    const QRectF bar = visibleArea(size, box).adjusted(2, 2, -2, -2);
    QLinearGradient gradient(bar.topLeft(), bar.bottomLeft());
    gradient.setColorAt(0, ButtonBlue);
    gradient.setColorAt(1, ButtonBlueDark);
    p.setPen(Qt::NoPen);
    p.setBrush(gradient);
    p.drawRoundedRect(bar, bar.height() / 2.5, bar.height() / 2.5);
    const double side = bar.height() * 0.7;
    const QRectF symbolRect(bar.left() + bar.height() * 0.45, bar.center().y() - side / 2, side,
                            side);
    drawSymbol(p, symbolRect, symbol, Qt::white);
    p.setPen(Qt::white);
    p.setFont(uiFont(caption.size() > 24 ? 17 : 20, true));
    p.drawText(bar.adjusted(symbolRect.right() - bar.left() + 14, 0, -12, 0),
               Qt::AlignVCenter | Qt::AlignLeft | Qt::TextWordWrap, caption);
    return image;
}

QImage tile(QSize size, QSize box, const QString& caption, Symbol symbol) {
    QImage image(size, QImage::Format_RGB32);
    image.fill(PageGrey);
    QPainter p(&image);
    p.setRenderHint(QPainter::Antialiasing);
    const QRectF face = visibleArea(size, box).adjusted(3, 3, -3, -3);
    p.setPen(QPen(TileBorder, 1.5));
    p.setBrush(TileFace);
    p.drawRoundedRect(face, 8, 8);
    const double side = face.height() * 0.45;
    drawSymbol(p, QRectF(face.center().x() - side / 2, face.top() + 6, side, side), symbol,
               ButtonBlue);
    p.setPen(CaptionGrey);
    p.setFont(uiFont(13, true));
    p.drawText(QRectF(face.left() + 6, face.top() + side + 8, face.width() - 12,
                      face.bottom() - face.top() - side - 10),
               Qt::AlignCenter | Qt::TextWordWrap, caption);
    return image;
}

QImage footerLabel(QSize size, const QString& caption, Symbol symbol) {
    QImage image(size, QImage::Format_RGB32);
    image.fill(BandBlue);
    QPainter p(&image);
    p.setRenderHint(QPainter::Antialiasing);
    const double side = size.height() * 0.7;
    drawSymbol(p, QRectF(2, (size.height() - side) / 2, side, side), symbol, Qt::white);
    p.setPen(Qt::white);
    p.setFont(uiFont(11, false));
    p.drawText(QRectF(side + 4, 0, size.width() - side - 5, size.height()),
               Qt::AlignVCenter | Qt::AlignLeft, caption);
    return image;
}

void drawBadge(QPainter& p, QPointF centre, const QString& number) {
    p.setPen(QPen(Qt::white, 2));
    p.setBrush(ButtonBlue);
    p.drawEllipse(centre, 18, 18);
    p.setPen(Qt::white);
    p.setFont(uiFont(20, true));
    p.drawText(QRectF(centre.x() - 18, centre.y() - 18, 36, 36), Qt::AlignCenter, number);
}

QImage background() {
    QImage image(1024, 768, QImage::Format_RGB32);
    image.fill(PageGrey);
    QPainter p(&image);
    p.setRenderHint(QPainter::Antialiasing);

    // Top band with the logo under the contact spot (window rectangle 331,8 349x100).
    QLinearGradient top(0, 0, 0, 163);
    top.setColorAt(0, BandBlue);
    top.setColorAt(1, BandBlueLight);
    p.fillRect(QRectF(0, 0, 1024, 163), top);
    const QPointF logo = windowToBackground(QRectF(331, 8, 349, 100));
    const QRectF emblem(logo.x() - 150, logo.y() - 30, 60, 60);
    p.setPen(Qt::NoPen);
    p.setBrush(Qt::white);
    p.drawRoundedRect(emblem, 14, 14);
    drawSymbol(p, emblem.adjusted(8, 8, -8, -8), Symbol::Cross, BandBlueLight);
    p.setPen(Qt::white);
    p.setFont(uiFont(40, true));
    p.drawText(QRectF(emblem.right() + 12, logo.y() - 34, 240, 46),
               Qt::AlignLeft | Qt::AlignVCenter, QStringLiteral("Quorvia"));
    p.setFont(uiFont(15, false));
    p.drawText(QRectF(emblem.right() + 14, logo.y() + 10, 240, 22),
               Qt::AlignLeft | Qt::AlignVCenter, QStringLiteral("Gestão Hospitalar"));

    // Bottom band: footer labels on the left, remote support and e-mail on the right.
    p.fillRect(QRectF(0, 635, 1024, 133), BandBlue);
    p.fillRect(QRectF(0, 635, 1024, 4), BandBlueLight);

    const QPointF badge1 = windowToBackground(QRectF(688, 601, 51, 41));
    const QPointF badge2 = windowToBackground(QRectF(809, 595, 48, 47));
    drawBadge(p, badge1, QStringLiteral("1"));
    drawBadge(p, badge2, QStringLiteral("2"));
    p.setPen(Qt::white);
    p.setFont(uiFont(12, true));
    p.drawText(QRectF(badge1.x() + 20, std::min(badge1.y(), badge2.y()) - 20,
                      badge2.x() - badge1.x() - 40, 40),
               Qt::AlignCenter, QStringLiteral("Suporte\nRemoto"));

    // Envelope under the e-mail spot.
    const QPointF mail = windowToBackground(QRectF(930, 587, 51, 38));
    const QRectF envelope(mail.x() - 20, mail.y() - 13, 40, 26);
    p.setPen(QPen(BandBlue, 2));
    p.setBrush(Qt::white);
    p.drawRect(envelope);
    p.drawLine(envelope.topLeft(), QPointF(envelope.center().x(), envelope.center().y() + 2));
    p.drawLine(envelope.topRight(), QPointF(envelope.center().x(), envelope.center().y() + 2));
    return image;
}

struct PictureSpec {
    const char16_t* name;
    QSize size;
    QSize box;
    const char16_t* caption;
    Symbol symbol;
};

const PictureSpec WideButtons[] = {
    {u"imgProntuario", {489, 92}, {474, 66}, u"Prontuário", Symbol::Document},
    {u"imgAgendaConsulta",
     {487, 86},
     {465, 68},
     u"Agendamento de Consulta e Exame",
     Symbol::Calendar},
    {u"imgSame", {489, 92}, {471, 66}, u"Gráficos, Estatísticas e Consultas", Symbol::Chart},
    {u"imgFaturamento", {489, 92}, {466, 69}, u"Faturamento", Symbol::Currency},
};

const PictureSpec Tiles[] = {
    {u"imgEstoque", {193, 128}, {186, 110}, u"Gestão de Estoques", Symbol::Box},
    {u"imgCompras", {194, 127}, {178, 110}, u"Gestão de Compras", Symbol::Cart},
    {u"imgExames", {193, 126}, {186, 111}, u"Controle de Exames", Symbol::Flask},
    {u"imgFinanceiro", {189, 129}, {180, 113}, u"Financeiro", Symbol::Coins},
    {u"imgAtendimento", {193, 125}, {178, 111}, u"Atendimento", Symbol::Cross},
    {u"imgCustos", {194, 134}, {180, 113}, u"Custos", Symbol::Pie},
    {u"imgCentroCirurgico", {193, 132}, {182, 110}, u"Gestão de Centro Cirúrgico", Symbol::Pulse},
    {u"imgGlosas", {201, 129}, {173, 113}, u"Glosas", Symbol::Rejected},
    {u"imgControEquip", {190, 127}, {182, 110}, u"Controle de Equipamentos", Symbol::Gear},
};

const PictureSpec FooterLabels[] = {
    {u"imgAdmSistema", {195, 32}, {194, 32}, u"Administração de Sistema", Symbol::Gear},
    {u"imgCadGeral", {146, 30}, {143, 30}, u"Cadastros Gerais", Symbol::Person},
};

QImage applicationIcon() {
    QImage image(64, 64, QImage::Format_ARGB32_Premultiplied);
    image.fill(Qt::transparent);
    QPainter p(&image);
    p.setRenderHint(QPainter::Antialiasing);
    p.setPen(Qt::NoPen);
    p.setBrush(BandBlueLight);
    p.drawRoundedRect(QRectF(2, 2, 60, 60), 14, 14);
    drawSymbol(p, QRectF(10, 10, 44, 44), Symbol::Cross, Qt::white);
    return image;
}

bool save(const QImage& image, const QDir& folder, const QString& fileName) {
    const QString path = folder.filePath(fileName);
    const bool ok =
        fileName.endsWith(u".png") ? image.save(path, "PNG") : image.save(path, "JPEG", 92);
    QTextStream(stdout) << (ok ? "wrote " : "FAILED ") << path << Qt::endl;
    return ok;
}

} // namespace

int main(int argc, char* argv[]) {
    QGuiApplication app(argc, argv);
    if (argc != 2) {
        std::fputs("usage: quorvia-artwork-generator <output folder>\n", stderr);
        return 2;
    }
    const QDir folder(QString::fromLocal8Bit(argv[1]));
    bool ok = save(background(), folder, QStringLiteral("Image1.jpg"));
    for (const PictureSpec& s : WideButtons)
        ok = save(wideButton(s.size, s.box, QString::fromUtf16(s.caption), s.symbol), folder,
                  QString::fromUtf16(s.name) + QStringLiteral(".jpg")) &&
             ok;
    for (const PictureSpec& s : Tiles)
        ok = save(tile(s.size, s.box, QString::fromUtf16(s.caption), s.symbol), folder,
                  QString::fromUtf16(s.name) + QStringLiteral(".jpg")) &&
             ok;
    for (const PictureSpec& s : FooterLabels)
        ok = save(footerLabel(s.size, QString::fromUtf16(s.caption), s.symbol), folder,
                  QString::fromUtf16(s.name) + QStringLiteral(".jpg")) &&
             ok;
    ok = save(applicationIcon(), folder, QStringLiteral("quorvia_icon.png")) && ok;
    return ok ? 0 : 1;
}
