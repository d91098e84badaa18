#include "app/qt/quillon_app.h"

int main(int argc, char** argv) {
    CQuillonApp app;
    return app.InitInstance(argc, argv);
}
