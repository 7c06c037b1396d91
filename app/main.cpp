#include "app/Main.h"
#include "platform/application.h"

int main(int argc, char** argv)
{
    platform::Application app(argc, argv);
    app.setApplicationName(QStringLiteral("Tarvo Lite"));
    TMain main;
    main.show();
    return app.exec();
}
