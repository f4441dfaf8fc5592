#pragma once

#include <QDialog>

class QPushButton;

// TfrmAbout: the borderless About box, shown modally over the main window.
class TfrmAbout : public QDialog {
    Q_OBJECT
public:
    explicit TfrmAbout(QWidget* owner);

    void btnOKClick();

    QPushButton* btnOK;
};
