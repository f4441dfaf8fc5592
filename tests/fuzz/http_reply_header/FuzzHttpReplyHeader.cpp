// Fuzz target: a server's reply, read by THttpClient::ReadReplyHeader and
// then captured as the body, the way a request cycle reads it. The reply
// comes over a real socket (ReplyFeed), since the header reader depends on
// how ReadLn takes lines off it (peeking, the LF search, a last line cut off
// by the close, the line limit). The header is kept as text, so an iteration
// touches no file.
//
// Checked beyond "no crash, no sanitizer report":
// - ReadReplyHeader ends with a value or a documented exception;
// - the stored header is the start of the reply, byte for byte, and a header
//   ended by its empty line plus the body is the whole reply;
// - values taken from header lines hold no line end (the cookie is sent back
//   on redirects);
// - the reply code and the lengths stay in their ranges.

#include <QByteArray>

#include <cstddef>
#include <cstdint>

#include "FuzzSupport.h"
#include "HttpClient.h"
#include "ReplyFeed.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const QByteArray reply = QByteArray::fromRawData(reinterpret_cast<const char*>(data), qsizetype(size));
    ReplyFeed feed(reply);
    if (!feed.ok())
        return 0;
    {
        THttpClient client;
        client.adoptSocket(feed.takeNearEnd());
        client.OutputFileMode = false;
        client.InputFileMode = false;

        bool headerRead = false;
        try {
            client.ReadReplyHeader();
            headerRead = true;
        } catch (const Exception&) {
            // none at all, a header beyond the limits, a line too long
        }

        if (headerRead) {
            const QByteArray& header = client.Header;
            FUZZ_CHECK(reply.startsWith(header));
            FUZZ_CHECK(!header.isEmpty());
            FUZZ_CHECK(client.ReplyCode >= 0);
            FUZZ_CHECK(client.TotalBytes >= 0);
            FUZZ_CHECK(client.contentLength() >= -1);
            FUZZ_CHECK(!client.ReceivedCookie.contains('\n'));
            FUZZ_CHECK(!client.RedirectLocation.contains(QLatin1Char('\n')));

            const bool endedByEmptyLine = header.endsWith("\n\n") || header.endsWith("\n\r\n");
            try {
                client.CaptureString(client.Body, -1);
            } catch (const Exception&) {
                FUZZ_CHECK(false && "capturing a queued body cannot fail");
            }
            if (endedByEmptyLine)
                FUZZ_CHECK(header + client.Body == reply);
        }
    }
    flushDeferredDeletes();
    return 0;
}
