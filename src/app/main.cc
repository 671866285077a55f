#include "app/mevo.h"

int main(int argc, char **argv) {
    return mevo_main(argc, argv);
}
