#pragma once

// Private to XmlTree.cpp, XmlTreeParser.cpp and XmlTreeSave.cpp: the few
// helpers on libxml2's text that more than one of them needs.

#include <QString>

#include <libxml/xmlstring.h>

namespace XmlTreeSupport
{

inline const char* utf8(const xmlChar* s)
{
    return reinterpret_cast<const char*>(s);
}

inline bool isXmlSpace(xmlChar c)
{
    return c == ' ' || c == '\t' || c == '\n' || c == '\r';
}

inline QString fullText(const xmlChar* s)
{
    return s ? QString::fromUtf8(utf8(s)) : QString();
}

// Sets libxml2 up once per process, with an external entity loader that
// refuses everything. Called before any document is made or parsed.
void initLibrary();

} // namespace XmlTreeSupport
