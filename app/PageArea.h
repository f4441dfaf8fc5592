#pragma once

#include <QStackedWidget>

// A page area without tabs in which the program makes pages visible and
// invisible one by one, as the window code expects: at most one page shows,
// and hiding the page that shows leaves the area blank.
class PageArea : public QStackedWidget {
    Q_OBJECT
public:
    explicit PageArea(QWidget* parent = nullptr);

    void addPage(QWidget* page);
    void setPageVisible(QWidget* page, bool visible);
    bool isPageVisible(QWidget* page) const { return currentWidget() == page; }

private:
    QWidget* m_blank;
};
