#pragma once

#include <QLabel>

class QMenu;

// A clickable picture of the panel. It shows its picture without stretching,
// either centred (cropped where larger than the box) or from the top-left
// corner; without a picture it draws nothing, so what lies below shows through.
class TImage : public QLabel {
    Q_OBJECT
public:
    explicit TImage(QWidget* parent = nullptr);

    void setPicture(const QPixmap& picture, bool centred);
    bool isCentred() const;

    // The menu opened by a right click; none (the default) leaves the click unused.
    void setPopupMenu(QMenu* menu) { m_popupMenu = menu; }
    QMenu* popupMenu() const { return m_popupMenu; }

signals:
    void clicked();

protected:
    void mousePressEvent(QMouseEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;
    void contextMenuEvent(QContextMenuEvent* event) override;

private:
    QMenu* m_popupMenu = nullptr;
    bool m_pressed = false;
};
