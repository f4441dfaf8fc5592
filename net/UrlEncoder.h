#pragma once

// TUrlEncoder: form encoding of the data that Post sends. Letters and digits
// stay, a space becomes "+", every other byte becomes "%" and two upper-case
// hexadecimal digits. Works on bytes: a text is encoded as the 8-bit string
// the caller hands over, so the byte 0xE9 gives "%E9".
//
// The client creates one for each Post and frees it afterwards.

#include <QByteArray>
#include <QObject>
#include <QString>

#include <functional>

// Called when encoding fails, with the operation ("Error during encode") and
// the failure's text. (The socket layer's TOnErrorEvent carries an error
// number instead, hence the separate type.)
using TEncodeErrorEvent =
    std::function<void(QObject* sender, const QString& operation, const QString& errorMessage)>;

class TUrlEncoder : public QObject {
    Q_OBJECT
public:
    explicit TUrlEncoder(QObject* owner = nullptr);

    QByteArray InputString;
    TEncodeErrorEvent OnError;

    // The encoding of InputString. Never throws: if encoding fails, OnError
    // is called (an exception from it is dropped) and InputString comes back
    // unchanged.
    QByteArray Encode();

    static QByteArray encode(const QByteArray& input);
};
