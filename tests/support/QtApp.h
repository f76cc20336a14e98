#pragma once

namespace brisko::test {

// Makes sure a QApplication exists for widget tests (one per process, never destroyed).
void EnsureQApplication();

} // namespace brisko::test
