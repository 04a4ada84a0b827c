// Stands beside the benchmark programs as KivCrashHandler.exe, so that the detached launch made by
// StartCrash is a real process start of a harmless program: it takes the seven arguments and exits.
int main()
{
    return 0;
}
