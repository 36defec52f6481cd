/* Loaded by the exit probe's host after the module. When the host calls
 * exit(), the destructors of the libraries it loaded run in the order they
 * were loaded: this one runs after the module's and holds the process a
 * while. A thread that the module's destructor left with freed objects
 * touches them now, before the process is gone. */
#include <time.h>

__attribute__((destructor)) static void LingerAfterTheModule(void) {
  const struct timespec pause = {0, 300 * 1000 * 1000};
  nanosleep(&pause, NULL);
}
