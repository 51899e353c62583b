#include "MeshRaster.h"

int main(int argc, char** argv) { return runMeshRaster(argc, argv); }
