#pragma once

#include <QString>
#include <QTest>

// Gives this test process its own temporary HOME and XDG directories before Qt reads them,
// so no test ever touches the real home folder, settings or Downloads. Returns the root.
QString isolateHomeForTests();

// A fresh, empty directory inside the isolated home (removed with it).
QString makeTempDir(const QString& name);

// Points HOME, the XDG directories (XDG_RUNTIME_DIR too, made 0700) and the session bus of
// `environment` at new folders under `root`, for a child process that must not touch the real
// ones (nor post to the real desktop). Returns the root.
class QProcessEnvironment;
QString isolateHome(QProcessEnvironment& environment, const QString& root);

// Use instead of QTEST_MAIN / QTEST_GUILESS_MAIN (widget tests include <QApplication> first).
#define ORLAVANT_TEST_MAIN_WITH(Application, TestClass, ...)                                                 \
    int main(int argc, char** argv) {                                                                        \
        isolateHomeForTests();                                                                               \
        Application app(argc, argv);                                                                         \
        __VA_ARGS__                                                                                          \
        TestClass tc;                                                                                        \
        QTEST_SET_MAIN_SOURCE_PATH                                                                           \
        return QTest::qExec(&tc, argc, argv);                                                                \
    }
#define ORLAVANT_TEST_MAIN(TestClass)                                                                        \
    ORLAVANT_TEST_MAIN_WITH(QApplication, TestClass, app.setAttribute(Qt::AA_Use96Dpi, true);)
#define ORLAVANT_TEST_GUILESS_MAIN(TestClass) ORLAVANT_TEST_MAIN_WITH(QCoreApplication, TestClass)
