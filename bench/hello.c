/* The start-up baseline: a C program that prints one line. */
#include <stdio.h>

int main(void) {
  puts("info");
  return 0;
}
