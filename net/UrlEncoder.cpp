#include "UrlEncoder.h"

#include <exception>

TUrlEncoder::TUrlEncoder(QObject* owner) : QObject(owner) {}

QByteArray TUrlEncoder::encode(const QByteArray& input)
{
    static const char hex[] = "0123456789ABCDEF";
    QByteArray out;
    out.reserve(input.size() * 3);
    for (const char c : input) {
        const auto b = static_cast<unsigned char>(c);
        if ((b >= 'A' && b <= 'Z') || (b >= 'a' && b <= 'z') || (b >= '0' && b <= '9')) {
            out.append(c);
        } else if (b == ' ') {
            out.append('+');
        } else {
            out.append('%');
            out.append(hex[b >> 4]);
            out.append(hex[b & 0x0F]);
        }
    }
    return out;
}

QByteArray TUrlEncoder::Encode()
{
    try {
        return encode(InputString);
    } catch (const std::exception& e) {
        // Only an allocation failure can get here; the caller still gets
        // something it can send.
        if (OnError) {
            try {
                OnError(this, QStringLiteral("Error during encode"), QString::fromLocal8Bit(e.what()));
            } catch (...) {
            }
        }
        return InputString;
    }
}
