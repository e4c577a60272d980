// A command (convert, undo, history) runs without a window. Otherwise the
// application and the connection window start; the window's load does the
// rest, and goes on to the selection window when the stored details connect.
#include "commandline/commandline.h"
#include "shell/main.h"
#include "windows/form1.h"
#include "windows/form2.h"

#include <malloc.h>

namespace {
// A run's statements and their answers are megabytes each, made and freed
// group after group on several threads. Left to its defaults, the allocator
// maps each such buffer afresh and hands it back when freed, and every page
// of the next one is faulted in again: a third of an undo's processor time.
// Kept in the heap instead, they are reused, for a few MiB more at the peak.
void KeepLargeBuffers() {
  mallopt(M_MMAP_THRESHOLD, 64 * 1024 * 1024);
  mallopt(M_TRIM_THRESHOLD, 128 * 1024 * 1024);
}
}  // namespace

int main(int argc, char** argv) {
  KeepLargeBuffers();
  if (CommandLine::IsCommand(argc, argv)) return CommandLine::Main(argc, argv);
  Main::Application app(argc, argv);
  Form1 form1;
  form1.Form_Load();
  if (!(form1.HasForm2() && form1.GetForm2().isVisible())) form1.show();
  return app.exec();
}
