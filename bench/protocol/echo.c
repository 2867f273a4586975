/* The floor for the protocol benchmark: answers every input line with one fixed line, one write each. */
#include <errno.h>
#include <string.h>
#include <unistd.h>

static const char kAnswer[] = "{\"id\":1,\"jsonrpc\":\"2.0\",\"result\":{}}\n";

int main(void) {
  static char buffer[1 << 16];
  for (;;) {
    ssize_t n = read(STDIN_FILENO, buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return 0;
    const char* p = buffer;
    const char* end = buffer + n;
    const char* lf;
    while ((lf = memchr(p, '\n', (size_t)(end - p))) != NULL) {
      if (write(STDOUT_FILENO, kAnswer, sizeof kAnswer - 1) < 0) return 0;
      p = lf + 1;
    }
  }
}
