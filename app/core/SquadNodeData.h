#pragma once

#include "XmlNode.h"

#include <QtGlobal>

// The record each node of the squad tree carries: a counted reference to the
// DOM element the node stands for (the squad root or one "member"), and a
// second slot that is set to zero and read nowhere.
struct TSquadNodeData {
    XmlNode Element;
    qint32 Reserved = 0;
};
