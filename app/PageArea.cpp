#include "PageArea.h"

PageArea::PageArea(QWidget* parent) : QStackedWidget(parent), m_blank(new QWidget(this))
{
    addWidget(m_blank);
    setCurrentWidget(m_blank);
}

void PageArea::addPage(QWidget* page)
{
    addWidget(page);
}

void PageArea::setPageVisible(QWidget* page, bool visible)
{
    if (visible)
        setCurrentWidget(page);
    else if (currentWidget() == page)
        setCurrentWidget(m_blank);
}
