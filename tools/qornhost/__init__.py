"""Publishing and serving release sites for the QORN launcher."""
