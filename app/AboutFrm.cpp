#include "AboutFrm.h"

#include "ErrorReport.h"

#include <QApplication>
#include <QFontMetrics>
#include <QFrame>
#include <QLabel>
#include <QPushButton>
#include <QVBoxLayout>

TfrmAbout::TfrmAbout(QWidget* owner) : QDialog(owner, Qt::Dialog | Qt::FramelessWindowHint)
{
    setObjectName(QStringLiteral("frmAbout"));
    setModal(true);

    auto* panel = new QFrame(this);
    panel->setObjectName(QStringLiteral("Panel1"));
    panel->setFrameStyle(QFrame::Panel | QFrame::Raised);
    panel->setLineWidth(2);
    panel->setAutoFillBackground(true);
    const QColor windowColor = QApplication::palette().color(QPalette::Base);
    QPalette palette = panel->palette();
    palette.setColor(QPalette::Window, QColor(128, 0, 0)); // maroon
    palette.setColor(QPalette::WindowText, windowColor);
    palette.setColor(QPalette::ButtonText, windowColor);
    panel->setPalette(palette);

    auto* outer = new QVBoxLayout(this);
    outer->setContentsMargins(0, 0, 0, 0);
    outer->addWidget(panel);

    auto* layout = new QVBoxLayout(panel);
    layout->setContentsMargins(12, 10, 12, 10);
    layout->setSpacing(2);
    QFont bold = font();
    bold.setBold(true);
    for (const QString& line :
         {tr("Qor Corvanet v1.0"), tr("Squad directory browser"), tr("Written by the Corvanet squad team")}) {
        auto* label = new QLabel(line, panel);
        label->setFont(bold);
        layout->addWidget(label);
    }
    layout->addStretch(1);
    outer->setSizeConstraint(QLayout::SetFixedSize);
    panel->setMinimumWidth(QFontMetrics(bold).averageCharWidth() * 40);

    btnOK = new QPushButton(tr("OK"), panel);
    btnOK->setObjectName(QStringLiteral("btnOK"));
    btnOK->setFlat(true);
    btnOK->setFont(bold);
    btnOK->setAutoDefault(false);
    btnOK->setDefault(false);
    btnOK->setFocusPolicy(Qt::NoFocus);
    btnOK->setMinimumWidth(btnOK->fontMetrics().averageCharWidth() * 12);
    layout->addWidget(btnOK, 0, Qt::AlignHCenter);
    connect(btnOK, &QPushButton::clicked, this, [this] { ErrorReport::guarded([this] { btnOKClick(); }); });

    adjustSize();
    if (owner) {
        const QRect area = owner->frameGeometry();
        move(area.center() - QPoint(width() / 2, height() / 2));
    }
}

void TfrmAbout::btnOKClick()
{
    done(QDialog::Accepted);
}
