/* What an attacker leaves in a folder a host may change to: a library under
   the 7-Zip library's name whose loading alone leaves a mark, a file in the
   current directory. */
#include <stdio.h>

__attribute__((constructor)) static void PlantedLibraryLoaded(void) {
  FILE* mark = fopen("planted-library-ran", "w");
  if (mark != NULL) fclose(mark);
}
