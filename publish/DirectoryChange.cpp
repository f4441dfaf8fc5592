#include "DirectoryChange.h"

#include "XmlDocument.h"

DirectoryChange DirectoryChange::add(const QString& nick, const QString& url)
{
    return DirectoryChange(Kind::Add, nick, url);
}

DirectoryChange DirectoryChange::remove(const QString& url)
{
    return DirectoryChange(Kind::Remove, QString(), url);
}

DirectoryChange DirectoryChange::replace(const QByteArray& content)
{
    return DirectoryChange(Kind::Replace, QString(), QString(), content);
}

XmlNode DirectoryChange::findEntry(const XmlNode& root, const QString& url)
{
    const XmlNodeList children = root.childNodes();
    const int count = children.length();
    for (int i = 0; i < count; ++i) {
        const XmlNode child = children.item(i);
        const XmlNode web = child.attributes().getNamedItem(QStringLiteral("web"));
        if (!web.isNull() && web.text() == url)
            return child;
    }
    return XmlNode();
}

bool DirectoryChange::isDirectory(const XmlDocument& document)
{
    const XmlNode root = document.lastChild();
    if (!root.isElement())
        return false;
    const XmlNodeList children = root.childNodes();
    const int count = children.length();
    if (count == 0)
        return true;
    for (int i = 0; i < count; ++i) {
        const XmlNode child = children.item(i);
        if (child.isElement() && !child.attributes().getNamedItem(QStringLiteral("web")).isNull())
            return true;
    }
    return false;
}

DirectoryChange::Outcome DirectoryChange::applyTo(XmlDocument& document) const
{
    if (m_kind == Kind::Replace) {
        XmlDocument replacement;
        if (!replacement.loadXml(m_content) || !isDirectory(replacement))
            throw PublishError(
                QStringLiteral("The version to restore is not a squad directory; nothing was published"));
        document = replacement;
        return Outcome::Changed;
    }
    XmlNode root = document.lastChild();
    const XmlNode listed = findEntry(root, m_url);
    if (m_kind == Kind::Remove) {
        if (listed.isNull())
            return Outcome::NotListed;
        root.removeChild(listed);
        return Outcome::Changed;
    }
    if (!listed.isNull())
        return Outcome::AlreadyListed;
    XmlNode entry = root.appendChild(document.createElement(QStringLiteral("squad")));
    XmlNode nick = document.createAttribute(QStringLiteral("nick"));
    entry.attributes().setNamedItem(nick);
    nick.setText(m_nick);
    XmlNode web = document.createAttribute(QStringLiteral("web"));
    entry.attributes().setNamedItem(web);
    web.setText(m_url);
    return Outcome::Changed;
}

QString DirectoryChange::pageName(const XmlDocument& page)
{
    const XmlNodeList children = page.lastChild().childNodes();
    const int count = children.length();
    for (int i = 0; i < count; ++i) {
        const XmlNode child = children.item(i);
        if (child.nodeName() == QLatin1String("name"))
            return child.text();
    }
    return QString();
}
