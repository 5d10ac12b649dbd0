#include "front/entry.h"

int main(int argc, char** argv) {
  return front::Main(argc, argv);
}
