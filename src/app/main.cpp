#include "app/main_window.h"

int main(int argc, char** argv) {
  return dk::RunArcport5(argc, argv);
}
