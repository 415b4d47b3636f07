// qpsysexecmain.cpp - the program qpsysexec: its main is the service's
// entry (qpsysexecnix.cpp), kept apart so that tests link the service
// without a main of its own.
#include "qpsysexec.h"

int main(int argc, char** argv)
{
    return qpsysexec_main(argc, argv);
}
