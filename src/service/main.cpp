// Placeholder entry until the service host lands.
int main() {
  return 0;
}
