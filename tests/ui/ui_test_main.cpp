#include <QApplication>
#include <QTest>

#include "ui/ui_test.h"

namespace qln::test {

std::vector<UiTestFactory>& UiTests() {
  static std::vector<UiTestFactory> tests;
  return tests;
}

}  // namespace qln::test

int main(int argc, char** argv) {
  QApplication app(argc, argv);
  int failed = 0;
  for (qln::test::UiTestFactory make : qln::test::UiTests()) {
    const std::unique_ptr<QObject> test = make();
    failed += QTest::qExec(test.get(), argc, argv) != 0 ? 1 : 0;
  }
  return failed == 0 ? 0 : 1;
}
