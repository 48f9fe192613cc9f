/* A client program built only from the installed package. */
#include <qel_weigher/qel_weigher.h>
#include <stdio.h>
#include <string.h>

static int messages;

static void count_message(const char* text, const char* caption, int critical, void* context) {
  (void)text;
  (void)critical;
  (void)context;
  if (strcmp(caption, "Qel_weigher") == 0) ++messages;
}

int main(void) {
  Qel_SetMessageHandler(count_message, NULL);
  Qelscale* scale = Qelscale_Create();
  if (scale == NULL) return 2;
  /* No such port: one message, False, and no reading. */
  const short found = Qelscale_OpenComPort_(scale, "nowhere");
  const char* weight = Qelscale_GetWeight_(scale);
  printf("probe=%d weight=%s messages=%d\n", found, weight, messages);
  const int ok = found == 0 && strcmp(weight, "0") == 0 && messages == 2;
  Qelscale_Release(scale);
  return ok ? 0 : 1;
}
