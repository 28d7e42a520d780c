#include "launcher/activity_indicator.h"

#include <QPainter>

#include <cmath>
#include <numbers>

TActivityIndicator::TActivityIndicator(QWidget* parent) : QWidget(parent) {
    setAttribute(Qt::WA_TranslucentBackground);
    setIndicatorSize(Size::Small);
    m_timer.setInterval(50);
    connect(&m_timer, &QTimer::timeout, this, &TActivityIndicator::advance);
}

void TActivityIndicator::setIndicatorSize(Size size) {
    m_size = size;
    const int side = static_cast<int>(size);
    setFixedSize(side, side);
    update();
}

void TActivityIndicator::setIndicatorColor(const QColor& color) {
    m_color = color;
    update();
}

void TActivityIndicator::setFrameDelay(int milliseconds) {
    m_timer.setInterval(milliseconds);
}

void TActivityIndicator::setAnimate(bool animate) {
    if (animate)
        m_timer.start();
    else
        m_timer.stop();
}

void TActivityIndicator::advance() {
    m_frame = (m_frame + 1) % FrameCount;
    update();
}

void TActivityIndicator::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    painter.setPen(Qt::NoPen);
    const double side = width();
    const double dotRadius = side / 12.0;
    const double ringRadius = side / 2.0 - dotRadius - 1.0;
    const QPointF centre(side / 2.0, side / 2.0);
    for (int i = 0; i < FrameCount; ++i) {
        // The dot of the current frame is brightest; the ones behind it fade out.
        const int age = (m_frame - i + FrameCount) % FrameCount;
        QColor dot = m_color;
        dot.setAlphaF(std::max(0.15, 1.0 - age / static_cast<double>(FrameCount)));
        painter.setBrush(dot);
        const double angle = 2.0 * std::numbers::pi * i / FrameCount - std::numbers::pi / 2.0;
        painter.drawEllipse(centre + QPointF(std::cos(angle), std::sin(angle)) * ringRadius,
                            dotRadius, dotRadius);
    }
}
