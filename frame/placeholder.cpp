// replaced by the component frame
