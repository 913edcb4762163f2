"""The networks in PyTorch, and the modules that behave like the runtime's layers."""
