// The simulator lands with its own issue.
