#include "XmlBudget.h"

bool XmlBudget::addNode(bool element)
{
    if (!m_exceeded.isEmpty())
        return false;
    if (element && m_maxElements > 0 && ++m_elements > m_maxElements)
        m_exceeded = QStringLiteral("The document has more than %1 elements").arg(m_maxElements);
    else if (m_maxNodes > 0 && ++m_nodes > m_maxNodes)
        m_exceeded = QStringLiteral("The document has more than %1 nodes").arg(m_maxNodes);
    return m_exceeded.isEmpty();
}

bool XmlBudget::addExpansion(qint64 bytes)
{
    if (!m_exceeded.isEmpty())
        return false;
    m_expansion += bytes;
    if (m_maxExpansion > 0 && m_expansion > m_maxExpansion)
        m_exceeded = QStringLiteral("The document's entity references expand to more than %1 bytes")
                         .arg(m_maxExpansion);
    return m_exceeded.isEmpty();
}
