#include "XmlTree.h"

#include <QStringDecoder>

#include <libxml/tree.h>
#include <libxml/xmlsave.h>

#include <functional>
#include <utility>
#include <vector>

#include "XmlTreeSupport.h"

using XmlTreeSupport::utf8;

namespace
{

struct OutputSink {
    const std::function<bool(const char*, int)>* sink;
    bool failed = false;
};

int writeToSink(void* context, const char* buffer, int len)
{
    auto out = static_cast<OutputSink*>(context);
    if (out->failed || !(*out->sink)(buffer, len)) {
        out->failed = true;
        return -1;
    }
    return len;
}

int closeSink(void*)
{
    return 0;
}

// libxml2 writes a namespace declaration's name between quotes as it is,
// without escaping it like an attribute value (it only picks the quote).
// A name read from xmlns="&lt;" is thus saved as xmlns="<", which no parser
// accepts, and one holding a tab or line break from a character reference
// reads back with a space instead: a published directory would no longer
// load, or load different. For the time of a save, each such name is
// replaced by its escaped form, which the verbatim write turns into the
// right attribute text; the destructor puts the original names back. "&"
// is escaped as well: the parser expands entities (XML_PARSE_NOENT), so a
// name read from "&amp;" holds the character itself.
class EscapedNamespaceNames
{
public:
    explicit EscapedNamespaceNames(xmlDocPtr doc)
    {
        for (xmlNodePtr n = doc->children; n;) {
            if (n->type == XML_ELEMENT_NODE) {
                for (xmlNsPtr ns = n->nsDef; ns; ns = ns->next)
                    escape(ns);
                if (n->children) {
                    n = n->children;
                    continue;
                }
            }
            while (n && !n->next && n->parent && n->parent->type == XML_ELEMENT_NODE)
                n = n->parent;
            n = n ? n->next : nullptr;
        }
    }
    ~EscapedNamespaceNames()
    {
        for (const auto& [ns, original] : m_replaced) {
            xmlFree(const_cast<xmlChar*>(ns->href));
            ns->href = original;
        }
    }
    EscapedNamespaceNames(const EscapedNamespaceNames&) = delete;
    EscapedNamespaceNames& operator=(const EscapedNamespaceNames&) = delete;

private:
    void escape(xmlNsPtr ns)
    {
        if (!ns->href)
            return;
        const QByteArray name(utf8(ns->href));
        QByteArray escaped;
        for (const char c : name) {
            switch (c) {
            case '&':
                escaped += "&amp;";
                break;
            case '<':
                escaped += "&lt;";
                break;
            case '\t':
                escaped += "&#9;";
                break;
            case '\n':
                escaped += "&#10;";
                break;
            case '\r':
                escaped += "&#13;";
                break;
            default:
                escaped += c;
            }
        }
        if (escaped.size() == name.size())
            return;
        xmlChar* copy = xmlStrdup(BAD_CAST escaped.constData());
        if (!copy)
            return; // out of memory: the save goes on with the name as it is
        m_replaced.emplace_back(ns, ns->href);
        ns->href = copy;
    }

    std::vector<std::pair<xmlNsPtr, const xmlChar*>> m_replaced;
};

} // namespace

bool XmlTree::serialize(const std::function<bool(const char*, int)>& sink) const
{
    if (!hasContent())
        return true;
    OutputSink out{&sink};
    const EscapedNamespaceNames escapedNames(m_doc.get());
    xmlSaveCtxtPtr ctxt = xmlSaveToIO(writeToSink, closeSink, &out, "UTF-8", XML_SAVE_FORMAT);
    if (!ctxt)
        return false;
    const long written = xmlSaveDoc(ctxt, m_doc.get());
    const int flushed = xmlSaveClose(ctxt);
    return written >= 0 && flushed >= 0 && !out.failed;
}

QString XmlTree::toText() const
{
    QString text;
    QStringDecoder decoder(QStringDecoder::Utf8);
    // Decoded piece by piece: the document's bytes are never held whole, and
    // the decoder carries a character split between two pieces over.
    const std::function<bool(const char*, int)> sink = [&](const char* data, int size) {
        text.append(decoder.decode(QByteArrayView(data, size)));
        return true;
    };
    serialize(sink);
    return text;
}
