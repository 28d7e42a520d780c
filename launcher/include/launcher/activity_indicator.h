#pragma once

#include <QColor>
#include <QTimer>
#include <QWidget>

// A ring of dots whose bright spot turns while it animates. Still (no timer
// running) until setAnimate(true).
class TActivityIndicator : public QWidget {
    Q_OBJECT
public:
    enum class Size { Small = 24, Medium = 32, Large = 48 };

    explicit TActivityIndicator(QWidget* parent = nullptr);

    void setIndicatorSize(Size size);
    Size indicatorSize() const { return m_size; }

    void setIndicatorColor(const QColor& color);
    QColor indicatorColor() const { return m_color; }

    void setFrameDelay(int milliseconds);
    int frameDelay() const { return m_timer.interval(); }

    void setAnimate(bool animate);
    bool animate() const { return m_timer.isActive(); }

    int frame() const { return m_frame; }
    static constexpr int FrameCount = 12;

public slots:
    // Moves to the next frame; the timer calls it while animating.
    void advance();

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    QTimer m_timer;
    QColor m_color = Qt::black;
    Size m_size = Size::Small;
    int m_frame = 0;
};
