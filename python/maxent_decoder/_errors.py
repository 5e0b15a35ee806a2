"""The error of a failed model load (raised by the compiled core)."""


class ModelError(ValueError):
    """A model folder or dictionary could not be loaded.

    str(error) is the message the command-line decoder prints (naming the
    file when one is missing or unreadable). category is the kind of failure:
    "usage", "user_input", "data_input", "memory", "implementation",
    "pedantic", "dictionary" or "abort"; label is the operation that failed
    (for instance "ZDIO::force_open"), "" when the message has none.
    """

    __module__ = "maxent_decoder"

    def __init__(self, message: str, category: str = "", label: str = "") -> None:
        """The error with its message, category and label."""
        super().__init__(message)
        self.category = category
        self.label = label

    def __reduce__(self):
        """Pickles with the category and label (errors of Dask workers reach the client so)."""
        return type(self), (str(self), self.category, self.label)
