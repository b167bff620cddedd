// Placeholder; replaced by the real sources.
