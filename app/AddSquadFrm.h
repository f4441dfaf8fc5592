#pragma once

// TfrmAddSquad: the Add Squad dialog. On OK it reloads the directory, loads
// the squad page at the address typed, and then either reports an address
// already listed, adds the squad and publishes the directory, or (when the
// page does not load) removes a listed entry with that address and publishes.
//
// It works on the main window's two documents and publishes through the main
// window. Its waits turn the event loop, so clicks reach it meanwhile: a
// second OK while one is running is ignored, and closing the dialog during a
// document wait abandons the OK without changing the directory. While the
// directory is being published the dialog cannot be closed: it closes when
// the publish ends.

#include <QDialog>
#include <QString>

class QLabel;
class QLineEdit;
class QPushButton;
class TfrmMain;
class XmlDocument;

class TfrmAddSquad : public QDialog {
    Q_OBJECT
public:
    // Modal results besides QDialog's Accepted (OK, 1) and Rejected (Cancel).
    static constexpr int ResultAbort = 3;

    explicit TfrmAddSquad(TfrmMain& owner);

    void FormCreate();
    void btnOKClick();
    void btnCancelClick();

    QString SquadUrl;

    QLabel* Label1;
    QLineEdit* edtUrl;
    QPushButton* btnOK;
    QPushButton* btnCancel;

public slots:
    void reject() override;

protected:
    void closeEvent(QCloseEvent* event) override;

private:
    // Runs the event loop until the document has finished loading or the
    // dialog was closed. Returns false when it was closed.
    bool waitFor(const XmlDocument& document);
    void runOk();

    TfrmMain& m_main;
    bool m_okRunning = false;
    bool m_closed = false;
};
