// The settings in force in this process.
#include "vc.h"

namespace vc {
namespace {
Settings& current() {
    static Settings* s = new Settings;  // never destroyed: detached tasks may read it at exit
    return *s;
}
}  // namespace

const Settings& settings() { return current(); }

void useSettings(const Settings& settings) { current() = settings; }

}  // namespace vc
