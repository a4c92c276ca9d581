// The picture newsgroups offered when no group list file exists yet: the
// classic picture hierarchies, in the order the drop-down shows them.
#pragma once

#include <QStringList>

namespace lumigrab {

QStringList BuiltInNewsGroups();

} // namespace lumigrab
