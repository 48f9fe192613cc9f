// weightbench for Linux: Form1 over libqel_weigher.so, loaded at run time.
#include <QApplication>

#include "form1.h"

int main(int argc, char** argv) {
  QApplication app(argc, argv);
  weightbench::Form1 form(
      weightbench::LibraryCandidates(QCoreApplication::applicationDirPath().toStdString()));
  form.show();
  return app.exec();
}
