// Every window test runs with a cache folder of its own, so that no test
// reads or writes the user's copies, and no test sees another one's.

#include <QTemporaryDir>
#include <QtGlobal>

#include <memory>

#include "FaultHelpers.h"

namespace
{

std::unique_ptr<QTemporaryDir>& cacheDir()
{
    static std::unique_ptr<QTemporaryDir> dir;
    return dir;
}

// Set before main(), for tests that have no init() of their own.
const bool cacheSet = (FaultHelpers::freshCache(), true);

} // namespace

void FaultHelpers::freshCache()
{
    cacheDir() = std::make_unique<QTemporaryDir>();
    qputenv("XDG_CACHE_HOME", cacheDir()->path().toLocal8Bit());
}
