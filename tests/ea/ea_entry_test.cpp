// (placeholder; being written)
