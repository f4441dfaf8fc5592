#include "WaitControls.h"

#include "AccessibleValue.h"

#include <QFontMetrics>
#include <QLabel>
#include <QLocale>
#include <QProgressBar>
#include <QPushButton>
#include <QStatusBar>

#include <algorithm>
#include <climits>

WaitControls::WaitControls(QStatusBar& bar)
    : QObject(&bar), m_label(new QLabel(&bar)), m_bar(new QProgressBar(&bar)),
      m_cancel(new QPushButton(&bar))
{
    m_label->setObjectName(QStringLiteral("lblProgress"));
    m_label->setTextFormat(Qt::PlainText);
    // Its text, the bytes moved or why Cancel is off, is what is heard.
    AccessibleValue::describe(m_label, tr("Progress"));
    m_bar->setObjectName(QStringLiteral("pbProgress"));
    m_bar->setAccessibleName(tr("Progress"));
    m_bar->setTextVisible(false);
    // Wide enough to read at a glance, in the units of the font shown.
    m_bar->setMaximumWidth(QFontMetrics(m_bar->font()).averageCharWidth() * 16);
    m_cancel->setObjectName(QStringLiteral("btnCancelWait"));
    m_cancel->setText(tr("Cancel"));
    m_cancel->setToolTip(tr("Stop waiting (Esc)"));
    // The keyboard stays where the user works; Esc cancels from anywhere.
    m_cancel->setFocusPolicy(Qt::NoFocus);
    m_cancel->setAutoDefault(false);
    bar.addPermanentWidget(m_label);
    bar.addPermanentWidget(m_bar);
    bar.addPermanentWidget(m_cancel);
    connect(m_cancel, &QPushButton::clicked, this, &WaitControls::cancelRequested);
    end();
}

void WaitControls::begin(bool cancellable)
{
    m_active = true;
    m_note.clear();
    m_cancel->setToolTip(tr("Stop waiting (Esc)"));
    m_label->clear();
    m_label->hide();
    m_bar->hide();
    m_cancel->setEnabled(cancellable);
    m_cancel->show();
}

void WaitControls::end()
{
    m_active = false;
    m_note.clear();
    m_label->clear();
    m_label->hide();
    m_bar->hide();
    m_bar->reset();
    m_cancel->hide();
}

void WaitControls::setNotCancellable(const QString& note)
{
    m_cancel->setEnabled(false);
    m_cancel->setToolTip(note);
    m_note = note;
    AccessibleValue::setText(m_label, note);
    m_label->show();
}

void WaitControls::setProgress(qint64 done, qint64 total)
{
    if (!m_active)
        return;
    const QLocale locale;
    const QString bytes = locale.formattedDataSize(done, 1, QLocale::DataSizeTraditionalFormat);
    QString text = bytes;
    if (total > 0)
        text =
            tr("%1 of %2")
                .arg(bytes, locale.formattedDataSize(total, 1, QLocale::DataSizeTraditionalFormat));
    m_label->setText(m_note.isEmpty() ? text : tr("%1 (%2)").arg(m_note, text));
    m_label->show();
    if (total > 0) {
        // The bar counts in kilobytes, so that no size overflows its int range.
        m_bar->setRange(0, int(std::min<qint64>(total / 1024 + 1, INT_MAX)));
        m_bar->setValue(int(std::min<qint64>(done / 1024, m_bar->maximum())));
        m_bar->show();
    } else {
        m_bar->hide();
    }
}
