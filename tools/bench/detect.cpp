int main() { return 0; } // (being written)
