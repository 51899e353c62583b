#include "Cluster.h"
#include "MeshRaster.h"

int main(int argc, char** argv) {
    startProcesses(argc, argv);
    return endProcesses(runMeshRaster(argc, argv));
}
