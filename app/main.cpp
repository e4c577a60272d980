// A command (convert, undo, history) runs without a window. Otherwise the
// application and the connection window start; the window's load does the
// rest, and goes on to the selection window when the stored details connect.
#include "commandline/commandline.h"
#include "shell/main.h"
#include "windows/form1.h"
#include "windows/form2.h"

int main(int argc, char** argv) {
  if (CommandLine::IsCommand(argc, argv)) return CommandLine::Main(argc, argv);
  Main::Application app(argc, argv);
  Form1 form1;
  form1.Form_Load();
  if (!(form1.HasForm2() && form1.GetForm2().isVisible())) form1.show();
  return app.exec();
}
