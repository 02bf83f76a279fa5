#include "app/Application.h"

int main(int argc, char** argv) {
    return velmora::Application::run(argc, argv);
}
