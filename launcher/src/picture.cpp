#include "launcher/picture.h"

#include <QContextMenuEvent>
#include <QMenu>
#include <QMouseEvent>

TImage::TImage(QWidget* parent) : QLabel(parent) {
    // Transparent: a label paints no background of its own unless asked to.
    setAutoFillBackground(false);
    setAttribute(Qt::WA_TranslucentBackground);
    setScaledContents(false);
    setAlignment(Qt::AlignLeft | Qt::AlignTop);
}

void TImage::setPicture(const QPixmap& picture, bool centred) {
    setAlignment(centred ? Qt::AlignCenter : (Qt::AlignLeft | Qt::AlignTop));
    setPixmap(picture);
}

bool TImage::isCentred() const {
    return alignment() == Qt::AlignCenter;
}

void TImage::mousePressEvent(QMouseEvent* event) {
    if (event->button() == Qt::LeftButton) {
        m_pressed = true;
        event->accept();
        return;
    }
    QLabel::mousePressEvent(event);
}

void TImage::mouseReleaseEvent(QMouseEvent* event) {
    if (event->button() == Qt::LeftButton && m_pressed) {
        m_pressed = false;
        event->accept();
        // A press dragged off the picture is no click.
        if (rect().contains(event->position().toPoint()))
            emit clicked();
        return;
    }
    QLabel::mouseReleaseEvent(event);
}

void TImage::contextMenuEvent(QContextMenuEvent* event) {
    if (m_popupMenu == nullptr) {
        event->ignore();
        return;
    }
    event->accept();
    m_popupMenu->popup(event->globalPos());
}
