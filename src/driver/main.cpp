#include "driver/exit_codes.h"
#include "driver/phases.h"

int main(int argc, char** argv)
{
    start_and_greet(argc, argv);
    authenticate();
    pick_up_mail();
    return static_cast<int>(ExitCode::success);
}
