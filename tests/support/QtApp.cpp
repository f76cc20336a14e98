#include "support/QtApp.h"

#include <QApplication>

namespace brisko::test {

void EnsureQApplication() {
    if (QApplication::instance() == nullptr) {
        static int argc = 1;
        static char name[] = "brisko-tests";
        static char* argv[] = {name, nullptr};
        new QApplication(argc, argv);
    }
}

} // namespace brisko::test
