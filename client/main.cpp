// Entry point placeholder; the stdio loop lands with the protocol spine.
int main() { return 0; }
